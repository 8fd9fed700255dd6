// A process-wide switch for programs that must never write (the explain
// tool): once set, every database session the process opens, reopens or
// takes over from a kept one runs kReadOnlySessionStatement as part of its
// set-up, so the server refuses any write, whatever statement is sent.
// Thread-safe; set it before the first database object is made.
#pragma once

extern const char kReadOnlySessionStatement[];

void SetSessionsReadOnly(bool readOnly);
bool SessionsReadOnly();
