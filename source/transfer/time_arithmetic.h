// Time pairs for the transfer's time-outs and budgets.
//
// Every wait and budget of the HTTP transfer is a platform::TimeVal (seconds,
// microseconds), used both as a duration and as a point in time read from the
// tick count. A normalised pair has 0 <= microseconds <= 999999. Pure
// functions, callable from any thread.
#pragma once

#include "platform/platform.h"

// The tick count (milliseconds, wrapping at 32 bits) read once, as seconds =
// ms / 1000 and microseconds = (ms % 1000) * 1000.
platform::TimeVal GetTickTime();

// One carry: microseconds of 1000000 or more give one second. Never borrows;
// SubtractTime does that for the only case that needs it.
platform::TimeVal NormalizeTime(platform::TimeVal time);

// 1 when a > b, -1 when a < b, 0 when equal: seconds first (signed), the
// microseconds only when the seconds are equal.
int CompareTime(platform::TimeVal a, platform::TimeVal b);

// a - b field by field; a negative microsecond part borrows one second,
// anything else goes through NormalizeTime. Wraps instead of overflowing for
// absurd inputs.
platform::TimeVal SubtractTime(platform::TimeVal a, platform::TimeVal b);

// Charges `elapsed` to `budget`. Returns true and shrinks the budget when the
// budget is greater than `elapsed`; returns false, leaving the budget alone,
// when `elapsed` used it up.
bool ChargeBudget(platform::TimeVal& budget, platform::TimeVal elapsed);
