// The list of lines that holds a message's header lines.
#pragma once

#include "platform/StringList.h"

using TLineList = platform::TStringList;
