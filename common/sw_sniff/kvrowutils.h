// Row text lines (write and read) and the Lua row table and decode call.
#pragma once

#include <string>

#include "kvgroup.h"

class TrowPool;

namespace rowutils {

/// The row line of a row with its final "\n"; empty for a kind outside 0..7.
std::string toString(const TrowPtr& row);
/// A new row from one line (without its line end), or null when the line gives no row.
TrowPtr fromString(const std::string& line);
/// The same, the row made by pool (a plain allocation when pool is null).
TrowPtr fromString(const std::string& line, TrowPool* pool);

}  // namespace rowutils

// ---- Lua row table and decode call ----

struct lua_State;

namespace rowutils {

/// Pushes the row table of a row of kind 0 to 7 onto the stack of L (one value more on the
/// stack); a null row pushes nil. The row is not changed. Called on the thread that owns L.
void setParams(const TrowPtr& row, lua_State* L);

/// The decode string of a row: a SOF group's text (no Lua involved), otherwise what the
/// script's global decode function for the row's kind returns. The call is protected: an
/// error message becomes the decode string, and a result or error value that is neither a
/// string nor a number gives an empty string. The stack of L is left as it was found and L
/// stays usable. Called on the thread that owns L.
std::string doDecode(const TrowPtr& row, lua_State* L);

/// lua_pcall(L, nargs, nresults, no message handler) under the instruction budget of one
/// decode call: a script that runs longer raises an error instead of holding the thread.
/// Called on the thread that owns L.
int budgetedCall(lua_State* L, int nargs, int nresults);

}  // namespace rowutils
