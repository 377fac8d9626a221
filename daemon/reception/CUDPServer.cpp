#include "reception/CUDPServer.h"

#include <cstdio>

#include "service/CErrorReport.h"
#include "service/event_ids.h"

CUDPServer::~CUDPServer() = default;

void CUDPServer::Open() {
  CWinSock& socket = getSocket();
  socket.CloseSocket();
  if (!socket.Create(AF_INET, SOCK_DGRAM, 0)) {
    // Reported as the bind failure it leads to, with the reason it has.
    const int error = WSAGetLastError();
    char text[64];
    std::snprintf(text, sizeof(text), "Can't bind to socket - ERRORCODE: %d", error);
    throw CWinSockError(kEventBindFailed, error, text);
  }
  socket.setSource(m_serverPort);
  socket.Bind();
}

void CUDPServer::Close() { getSocket().CloseSocket(); }

const char* CUDPServer::ReceiveMessage(CTolvaneString& source) {
  m_received = getSocket().ReceiveFrom(m_buffer, kReceiveBufferSize, source);
  return m_buffer;
}

const char* CUDPServer::ReceiveData() {
  m_received = getSocket().Receive(m_buffer, kReceiveBufferSize);
  return m_buffer;
}

void CUDPServer::setServerPort(std::int32_t port) {
  if (port >= 0 && port <= 65535) m_serverPort = port;
}

const char* CUDPServer::getBuffer() { return m_buffer; }

std::int32_t CUDPServer::getServerPort() const { return m_serverPort; }
