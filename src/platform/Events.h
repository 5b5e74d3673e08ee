#pragma once
// The message pump. Every wait that must keep the program alive (socket and FTP calls) is a loop
// around one of these, so timers, clicks and socket notices run inside a pending call.

// Handles whatever is queued and returns at once ("pump the application's messages").
void ProcessMessages();

// Handles queued events, and when none are queued blocks until one arrives (socket readiness,
// a timer, input) or until maxMilliseconds have passed. Waits use this instead of spinning.
void WaitForMessages(int maxMilliseconds);

// Blocks until at least one event has been handled (socket readiness, a timer, a posted notice,
// input). Its bound is the caller's: a socket wait has its time-out timer running, and every flag
// it watches changes only in such an event.
void WaitForEvents();
