// Deliberately holds writable state: the writable-globals check must refuse
// this object, which shows that the check can fail.
int g_sampleCounter;

int CountSampleCalls() {
  static int calls = 0;
  return ++calls + g_sampleCounter;
}
