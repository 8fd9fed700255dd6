// A start-up check of the database server's session limit on an MSP
// server installation.
#pragma once

// Sessions the daemon may hold at once with `customers` customers: up to
// one per customer for each patch thread and one for a fan-out worker (all
// kept between passes), and the main database sessions of the loop and the
// worker threads with some room.
long long SessionsNeeded(long long customers, int workers);

// On an MSP server: logs one level 4 line when the server's
// max_connections is below SessionsNeeded for the customers of the
// selected kind and the fan-out workers. Nothing on other installations
// or when the figures cannot be read (each read logs its own failure).
// Main thread, after the main database object is ready.
void CheckServerSessionsForCustomers();
