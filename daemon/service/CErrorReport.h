// CErrorReport: a failure on its way from where it happened to where it is
// logged. The number is also the event identifier under which the catcher logs
// it (event_ids.h); the text becomes the event's first insert; the code (a
// socket error, an ODBC return code, a reply code) is carried, not logged.
//
// Thrown by value and caught by const reference; a CWinSockError is caught by
// handlers for CErrorReport.
//
// An action marks a report as an output failure when the next message would
// meet the same failure (its server cannot be reached, its database is
// locked), as opposed to a failure of this one message (a refused recipient, a
// row the table rejects); the output guard (rules/output_guard.h) suspends the
// output for the first kind and lets the second pass on as it is.
#pragma once

#include <cstdint>

#include "service/CTolvaneString.h"

class CErrorReport {
 public:
  CErrorReport(std::int32_t number, std::int32_t code, const WCHAR* text);
  CErrorReport(std::int32_t number, std::int32_t code, const char* text);
  virtual ~CErrorReport();

  // The same process-wide object on every call, made on first use; safe to read
  // from any thread (its narrow form exists from the start).
  virtual const CTolvaneString& getClassName() const;

  std::int32_t getNumber() const { return m_number; }
  std::int32_t getCode() const { return m_code; }
  const CTolvaneString& getText() const { return m_text; }

  bool isOutputFailure() const { return m_outputFailure; }
  // Marks the report (see above); an action that catches a report by
  // reference marks it and rethrows it with `throw;`, keeping its class.
  void setOutputFailure(bool outputFailure = true) { m_outputFailure = outputFailure; }

 private:
  std::int32_t m_number;
  std::int32_t m_code;
  CTolvaneString m_text;
  bool m_outputFailure = false;
};

// A failure of the socket layer; its numbers are 1 to 9 (event_ids.h).
class CWinSockError : public CErrorReport {
 public:
  using CErrorReport::CErrorReport;
  const CTolvaneString& getClassName() const override;
};
