// NetApi: the computers of the local network, for the computer selection
// window, and the platform of a named computer.
//
// Computers are found by DNS-SD: a browse for SSH services through Avahi
// (avahi-browse), since remote administration runs over SSH. Where Avahi does
// not run, or avahi-browse is not installed, the list is empty; a name can
// always be typed.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

class QWidget;

namespace NetApi {

inline constexpr int RESOURCEDISPLAYTYPE_SERVER = 2;

// True while a browse may run; clearing it (Cancel) stops the browse at its
// next step.
inline bool bBrowsing = false;

// The computers found for `displayType` (RESOURCEDISPLAYTYPE_SERVER; any other
// type finds nothing), each written with two leading backslashes ("\\host"),
// in the order found, each once. Lets window events run while it waits, at
// most kBrowseSeconds; empty when the browse was stopped.
inline constexpr int kBrowseSeconds = 10;
QStringList EnumNetworkResources(int displayType);

// Sets Global::nTargetPlatform from the named computer's platform: 2 when it
// reports the identifier 500, else 0. A query that fails leaves it as it was
// and returns the error code; the error box ("Error in GetComputerVersion -
// Code: ", the number and its description) is shown only for failures that
// connecting would not report in its own words (53, 5, 2 and 123 are left to
// it).
long GetComputerVersion(const QString& computer, QWidget* parent = nullptr);

}  // namespace NetApi
