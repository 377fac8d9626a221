// Test support for the registry's client side: what a key holds, and a set
// of Parameters values that differs from the defaults everywhere.
#pragma once

#include <map>
#include <string>

#include "ParameterValues.h"
#include "platform/registry.h"

// Every value of the open key: name -> "DWORD n", "SZ text" (ANSI), or
// "type t bytes" for other types.
std::map<std::string, std::string> storedValues(HKEY key);

// A value for every member that differs from its client default.
ParameterValues everyValueChanged();
