// Whether the database account the tool reads with could write. The
// tool's sessions are read-only whatever the account, but an account that
// can write puts a writing password in the hands of whoever may run the
// tool; the report says so.
#pragma once

#include "DBI.h"
#include "report_doc.h"

// {user, can_write, write_grants}: the grants of the session's account
// (SHOW GRANTS) that allow more than reading. A grant that is not
// understood counts as writing. can_write is null when the grants could
// not be read.
Doc CheckAccount(CDBI* db);
