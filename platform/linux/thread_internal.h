// Hooks between the thread and message queue parts of the Linux layer.
#pragma once

// Drops the calling thread's message queue, if it has one. A thread made by
// CreateThread calls it before its handle is signalled, so that a waiter
// already sees the queue gone; other threads lose theirs at thread exit.
void ReleaseThreadMessageQueue();
