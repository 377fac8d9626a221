// CIP: the base of every network endpoint; owns one CWinSock.
#pragma once

#include "reception/CWinSock.h"

class CIP {
 public:
  CIP() = default;
  CIP(const CIP&) = delete;
  CIP& operator=(const CIP&) = delete;
  virtual ~CIP();

  virtual CWinSock& getSocket();

 private:
  CWinSock m_socket;
};
