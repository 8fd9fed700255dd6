// Where the signal receiver listens and how much it buffers, from the
// main database's option group.
#pragma once

#include "DBI.h"
#include "utilLib.h"

// Fills options from the keys korb-signal-address (default: all
// interfaces), korb-signal-rcvbuf (bytes; default 4 MiB, 0 keeps the
// system's default) and korb-signal-allow (senders' addresses and
// prefixes; default every sender). Returns false, after a level 2 line
// and a console line naming key and value, when korb-signal-rcvbuf is not
// a byte count or korb-signal-allow not a list of addresses and prefixes;
// an address that cannot be bound fails when the receiver is built.
bool ReadSignalReceiverSettings(const CDBI& db, SignalReceiverOptions* options);
