// The user's request to stop a run: the one signal that travels from the
// user to the worker, the way status words travel from the worker to the
// user. The Cancel button and Ctrl+C both ask through RequestCancel; the
// transfer polls CancelRequested before a body and between its pieces. It is
// shared between threads on purpose (docs/architecture.md lists all such
// state).
#pragma once

// Asks the running update to stop. Any thread; safe in a signal handler.
void RequestCancel() noexcept;

// Whether a cancel was asked for since the last ClearCancelRequest. Any thread.
bool CancelRequested() noexcept;

// Forgets an earlier request, before a run of its own starts (a process that
// runs more than one update, as the tests do). Never during a run.
void ClearCancelRequest() noexcept;
