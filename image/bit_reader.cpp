// The bit reader's slow paths: starting and ending direct reads, and topping up
// near the end of a window or of the stream.
#include "bit_reader.h"

namespace qrv {

int32_t BeginBits(BitReader* reader, StreamHandle stream) {
  reader->bits = 0;
  reader->held = 0;
  reader->failure = RC_OK;
  reader->ended = false;
  reader->stream = stream;
  ReadWindow window = {nullptr, nullptr};
  if (platform::BeginDirectRead(stream, &window) != 0) {
    reader->next = reader->end = reader->begin = nullptr;
    return RC_READ_ERROR;
  }
  reader->next = reader->begin = window.next;
  reader->end = window.end;
  return RC_OK;
}

void EndBits(BitReader* reader, int32_t* rc) {
  ReadWindow window = {reader->next, reader->end};
  if (platform::EndDirectRead(reader->stream, window) != 0 && *rc == RC_OK) *rc = RC_READ_ERROR;
}

void FillBitsSlow(BitReader* reader) {
  while (reader->held <= 56) {
    if (reader->next == reader->end) {
      // Once the stream has ended or failed it is not asked again.
      if (reader->ended || reader->failure != RC_OK) return;
      ReadWindow window = {reader->next, reader->end};
      if (platform::RefillDirectRead(reader->stream, &window) != 0) {
        reader->failure = RC_READ_ERROR;
        return;
      }
      reader->next = reader->begin = window.next;
      reader->end = window.end;
      if (reader->next == reader->end) {
        reader->ended = true;
        return;
      }
      // A fresh window may be long enough for the eight-byte refill.
      if (reader->end - reader->next >= 8) {
        FillBits(reader);
        return;
      }
    }
    reader->bits |= uint64_t{*reader->next++} << (56 - reader->held);
    reader->held += 8;
  }
}

}  // namespace qrv
