// The database action's outputs: one per data source, each with a queue of
// rows and a thread of its own that inserts them, so that no message waits
// for a database and no row is lost while one cannot be reached.
//
// The processing thread adds a row for each message that reaches a database
// action and hands them over in batches (flush);
// the output's thread inserts them in transactions of up to the batch size,
// in arrival order, on a connection it keeps. A batch the database refuses
// as a whole goes again row by row, so that only a row it really refuses is
// lost (event 115, as before). While the data source cannot be reached the
// rows wait in the output's queue, which goes on growing into a spool on disk
// of its own (spool/odbc/<data source> below the machine root, bounded); the
// output tries again after 1 s, doubling up to 60 s, with one event when it
// fails (180) and one when the rows that waited are in (181). Rows still
// waiting at a stop stay in the spool and go first at the next start.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "platform/types.h"
#include "rules/ActionSettings.h"

class SyslogMessage;
struct DaemonConfiguration;

struct DatabaseOutputSettings {
  ActionSettings action;  // data source, user, password, table and columns
  std::size_t batchSize = 1000;            // rows in one transaction at most
  std::chrono::seconds idleTimeout{60};    // an unused connection is closed; 0: kept
  std::uint64_t spoolLimit = std::uint64_t{1} << 30;  // bytes of each data source's spool
  std::size_t memoryLimit = std::size_t{8} << 20;     // bytes of rows waiting in memory per data source
  std::filesystem::path spoolRoot;         // one folder per data source below it
};

// The settings from the Parameters values (nODBCBatchSize, nODBCIdleTimeout,
// nODBCSpoolLimit), out-of-range values replaced by their defaults.
DatabaseOutputSettings makeDatabaseOutputSettings(const DaemonConfiguration& config, const ActionSettings& action);

// Events of the outputs (type, identifier, inserts); logDaemonEvent by default.
using DatabaseEventSink = std::function<void(WORD type, DWORD id, std::initializer_list<const char*> inserts)>;

class DatabaseOutputs {
 public:
  DatabaseOutputs();
  ~DatabaseOutputs();

  // At the start of reception: the settings, and an output for every data
  // source whose spool holds rows of an earlier run (they go first).
  void start(DatabaseOutputSettings settings, DatabaseEventSink events = {});
  // Processing thread: queues the row of `message` for the data source `dsn`
  // and returns; never waits for the database. Without a start, the outputs
  // start with `settings` and the defaults.
  void add(std::string_view dsn, const SyslogMessage& message, const ActionSettings& settings);
  // Processing thread: hands the rows added since the last flush to their
  // outputs' threads: all of them with `everything`, else those that fill a
  // transaction or have waited a fifth of a second.
  void flush(bool everything = true);
  // Processing thread: rows were added that no flush has handed over yet.
  bool holdsRows() const;
  // At the stop: each thread finishes the transaction in hand (a thread still
  // in one after `grace` is left behind), and the rows still waiting go to
  // the spools. The outputs are gone afterwards.
  void stop(std::chrono::milliseconds grace);
  // True once every row handed over has been inserted or refused, or waits
  // for a data source that cannot be reached (at most `limit`). For tests.
  bool waitSettled(std::chrono::milliseconds limit);

 private:
  class Output;
  struct State;
  std::unique_ptr<State> m_state;
};

// The process's outputs.
DatabaseOutputs& databaseOutputs();

// The folder name of a data source's spool: letters, digits, '-', '_' and
// '.' as they are, every other byte as %XX (never "." or "..").
std::string spoolFolderName(std::string_view dsn);
// The data source of a folder name; empty when it is not one.
std::string dataSourceOfFolder(std::string_view folder);
