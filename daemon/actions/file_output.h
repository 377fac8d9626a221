// The open log files of the file action, and the lines waiting for them.
//
// Lines of one received batch are collected per file and written when the
// receive loop calls flushFileOutputs() after the batch, one write() per file,
// in arrival order, or earlier, before an action that may wait on the network
// (writeWaitingFileLines()). Files stay open between batches in a small cache (at most
// kMaxOpenFiles, the least recently used closed first; files idle for
// kIdleCloseSeconds closed at a flush). At the first line of a batch for a
// file, the path is checked against the open descriptor: a file that was
// renamed or deleted since is created anew.
//
// When a file cannot be opened or written, its lines are lost and one error
// event 99 is logged; no further event for that file until a write to it has
// succeeded again. A write cut short leaves no part of a line behind: the file
// is cut back to the end of its last whole line.
//
// Receive thread only; nothing is locked.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr std::size_t kMaxOpenFiles = 32;
inline constexpr std::size_t kMaxBufferedBytes = 256 * 1024;  // per file; more is written at once
inline constexpr long kIdleCloseSeconds = 60;

// The buffer to which the next line for the file `path` is appended, or null
// when the file cannot be opened now (the line is lost; the failure is logged
// as described above). Call fileLineAppended afterwards.
std::string* fileOutputBuffer(const std::string& path);
// Writes the file's buffer early when it has grown past kMaxBufferedBytes.
void fileLineAppended(const std::string& path);

// Marks a line for `path` as lost because the file name was refused; logs
// event 99 with `reason` like an open failure.
void reportFileOutputFailure(const std::string& path, std::string_view reason);

// Writes every waiting line and closes files idle for too long. Called by the
// receive loop after each batch of datagrams, before it waits again.
void flushFileOutputs();

// Writes every waiting line now, in the middle of a batch: called before an
// action that may wait on the network, so that no filed line waits with it
// (or is lost with it when the service gives up waiting at a stop).
void writeWaitingFileLines();

// Writes every waiting line and closes every file; forgets all failure state.
// Called when the receive thread ends.
void closeFileOutputs();
