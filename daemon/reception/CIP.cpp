#include "reception/CIP.h"

CIP::~CIP() = default;

CWinSock& CIP::getSocket() { return m_socket; }
