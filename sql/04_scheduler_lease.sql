-- The scheduler's own table: the lease that lets exactly one of several
-- scheduler instances be active against this database. Not a suite table;
-- only the scheduler reads and writes it.
--
-- One row, name 'scheduler'. Times are the server's, in UTC
-- (UTC_TIMESTAMP(6)): expiry is decided on the database's clock. Every
-- change is one conditional UPDATE; epoch rises by one with each grant and
-- is the fencing token of the holder's writes.
--
-- The daemon makes this table itself when it is missing, from the CREATE
-- TABLE statement below (read at build time: keep semicolons out of it).
SET SESSION sql_mode = 'STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_BACKSLASH_ESCAPES,NO_ENGINE_SUBSTITUTION';
SET NAMES utf8mb4;

CREATE TABLE IF NOT EXISTS korb_scheduler_lease (
  name           VARCHAR(32)     NOT NULL PRIMARY KEY,
  holder         VARCHAR(512)    NOT NULL DEFAULT '',
  epoch          BIGINT UNSIGNED NOT NULL DEFAULT 0,
  granted_at     DATETIME(6)     NULL,
  renewed_at     DATETIME(6)     NULL,
  expires_at     DATETIME(6)     NOT NULL DEFAULT '1970-01-01 00:00:01',
  -- 1 when the holder of epoch released the lease after an orderly end:
  -- its successor then needs no restart recovery.
  clean_end      TINYINT         NOT NULL DEFAULT 0,
  -- What the grant of epoch replaced.
  prev_holder    VARCHAR(512)    NOT NULL DEFAULT '',
  prev_epoch     BIGINT UNSIGNED NOT NULL DEFAULT 0,
  prev_clean_end TINYINT         NOT NULL DEFAULT 0,
  -- Raised by the fence of a posting transaction on a Galera cluster,
  -- where a write to this row is what certifies the fence across nodes.
  fence_seq      BIGINT UNSIGNED NOT NULL DEFAULT 0
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

INSERT IGNORE INTO korb_scheduler_lease (name) VALUES ('scheduler');
