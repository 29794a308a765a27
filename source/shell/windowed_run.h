// One update run behind the progress window: the window on the GUI thread,
// the update procedure on a thread of its own, its status words reaching the
// window through the status channel.
#pragma once

#include <cstdint>
#include <functional>

#include "vocabulary/status_word.h"

// What the worker thread runs; UpdateWorker in the program.
using UpdateProcedure = std::function<void(StatusCallback statusCallback)>;

// Shows the progress window, starts `procedure` on its own thread with the
// window's status callback and runs the event loop until the window closes
// on the run's final word (an error word or the last stage). Returns once
// the worker thread has ended, with the run's result: the code of its final
// word, 0 for the last stage, kNoFinalWord if it never sent one.
//
// Only the final word decides the result. When the event loop ends without
// it (the window system or the session ended it), the run is cancelled and
// waited for, and the word it ends with still counts. GUI thread only, with a
// QApplication in place.
std::int32_t RunWithProgressWindow(const UpdateProcedure& procedure);
