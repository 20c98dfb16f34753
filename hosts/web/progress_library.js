// The import behind the bridge's progress callback. Module.onProgress answers
// with a number at once, or with a promise of one: then the wasm stack is
// suspended until the promise settles, so the worker's event loop can deliver a
// Cancel in the meantime. On the way back in (rewinding) the page is not asked
// again; handleSleep hands back the answer it already gave.
mergeInto(LibraryManager.library, {
  qw_progress__deps: ['$Asyncify'],
  qw_progress: function(numerator, denominator) {
    if (Asyncify.state === Asyncify.State.Normal) {
      var answer = Module['onProgress'](numerator, denominator);
      if (typeof answer === 'number') return answer;
      Module['pendingAnswer'] = answer;
    }
    return Asyncify.handleSleep(function(wakeUp) {
      var answer = Module['pendingAnswer'];
      Module['pendingAnswer'] = null;
      answer.then(wakeUp, function() { wakeUp(1); });
    });
  },
});
