// The notice that tells the user how the run ended.
//
// The outcome is shown as a picture only (0 success, 2 nothing newer to
// install, 16 cancelled, every other code a failure; see OutcomeOf). GUI
// thread only.
#pragma once

#include <QString>

#include "vocabulary/error_codes.h"

// The resource path of the picture that tells `outcome`.
QString OutcomePicture(Outcome outcome);

// Shows the notice dialog with the picture for `outcome` modally and returns
// once the user has dismissed it.
void ShowOutcomeNotice(Outcome outcome);
