// Lua row table and decode call: a row as a Lua table, and its decode string from the script.
#include "kvrowutils.h"

#include <climits>
#include <vector>

#include <lua.hpp>

namespace {

/// Global decode function of each row kind; a SOF group is decoded without Lua.
const char* const DECODE_FUNCTION[] = {
    "reset_decode",     "sof_decode", "token_decode",       "data_decode",
    "handshake_decode", nullptr,      "transaction_decode", "transfer_decode",
};

/// Lua instructions one decode call may run before it is stopped, so that a script caught in
/// an endless loop costs one row its decode text instead of hanging the program.
constexpr int DECODE_INSTRUCTION_LIMIT = 50'000'000;

/// Stack slots doDecode needs: the protected function, its two arguments, the row table and
/// its inner sequence.
constexpr int DECODE_STACK_NEED = 6;

// The helpers below run while Lua may raise an error (a memory error) and unwind with longjmp,
// so they hold no C++ object that has a destructor.

void setInt(lua_State* L, const char* key, lua_Integer value) {
  lua_pushinteger(L, value);
  lua_setfield(L, -2, key);
}

void setBool(lua_State* L, const char* key, bool value) {
  lua_pushboolean(L, value ? 1 : 0);
  lua_setfield(L, -2, key);
}

void setText(lua_State* L, const char* key, const char* value) {
  lua_pushstring(L, value);
  lua_setfield(L, -2, key);
}

void setBytes(lua_State* L, const char* key, const std::vector<uint8_t>& bytes) {
  const int n = bytes.size() > INT_MAX ? INT_MAX : static_cast<int>(bytes.size());
  lua_createtable(L, n, 0);
  for (int i = 0; i < n; ++i) {
    lua_pushinteger(L, bytes[static_cast<size_t>(i)]);
    lua_rawseti(L, -2, i + 1);
  }
  lua_setfield(L, -2, key);
}

void setChildren(lua_State* L, const TrowVec& children) {
  const int n = children.size() > INT_MAX ? INT_MAX : static_cast<int>(children.size());
  lua_createtable(L, n, 0);
  lua_Integer index = 0;
  for (int i = 0; i < n; ++i) {
    const Tbase* child = children[static_cast<size_t>(i)].get();
    if (!child) continue;  // keeps the sequence without holes
    lua_pushinteger(L, child->handle);
    lua_rawseti(L, -2, ++index);
  }
  lua_setfield(L, -2, "children");
}

const char* transactionText(TtrxType t) {
  return t == TRX_SETUP ? "SETUP" : t == TRX_IN ? "IN" : "OUT";
}

/// Instructions between two looks at the budget.
constexpr int BUDGET_STEP = 1000;
/// Events of the budget hook: counted instructions, and calls (to find coroutines about to run).
constexpr int BUDGET_MASK = LUA_MASKCOUNT | LUA_MASKCALL;

/// What is left of the budget of the decode call running on this thread. Coroutines run on the
/// thread that resumes them, so the main state and every coroutine draw on the same budget.
struct TdecodeBudget {
  long long left = DECODE_INSTRUCTION_LIMIT;
  bool spent = false;
};
thread_local TdecodeBudget* activeBudget = nullptr;

void budgetHook(lua_State* L, lua_Debug* ar);

/// Gives a coroutine the budget hook. A hook is per coroutine: one made while the script loaded,
/// before any decode call, has none, and would run an endless loop unchecked.
void hookThread(lua_State* co) {
  if (co && lua_gethook(co) != budgetHook) lua_sethook(co, budgetHook, BUDGET_MASK, BUDGET_STEP);
}

/// Hooks a coroutine about to be resumed by a C function: coroutine.resume takes it as its first
/// argument, the function that coroutine.wrap made holds it as an upvalue.
void hookResumedThread(lua_State* L, lua_Debug* ar) {
  if (lua_getlocal(L, ar, 1)) {
    if (lua_type(L, -1) == LUA_TTHREAD) hookThread(lua_tothread(L, -1));
    lua_pop(L, 1);
  }
  if (!lua_getinfo(L, "f", ar)) return;
  if (lua_iscfunction(L, -1)) {
    for (int i = 1; lua_getupvalue(L, -1, i); ++i) {
      if (lua_type(L, -1) == LUA_TTHREAD) hookThread(lua_tothread(L, -1));
      lua_pop(L, 1);
    }
  }
  lua_pop(L, 1);
}

/// Charges the budget and passes it on to coroutines. Once it is spent, every further instruction
/// and call raises the error again, in whichever coroutine runs, so a script can neither catch it
/// with pcall and carry on nor escape it into a coroutine.
void budgetHook(lua_State* L, lua_Debug* ar) {
  TdecodeBudget* budget = activeBudget;
  if (!budget) return;  // a coroutine that kept the hook, run outside a decode call
  if (ar->event == LUA_HOOKCOUNT) {
    budget->left -= BUDGET_STEP;
    if (budget->left <= 0) budget->spent = true;
  } else if (!budget->spent) {
    hookResumedThread(L, ar);
  }
  if (budget->spent) {
    lua_sethook(L, budgetHook, BUDGET_MASK, 1);
    luaL_error(L, "decode script stopped after %d instructions", DECODE_INSTRUCTION_LIMIT);
  }
}

/// Arms a budget for one decode call on the main state and puts back what was there before on
/// every way out.
class TbudgetScope {
 public:
  explicit TbudgetScope(lua_State* state)
      : L(state), oldHook(lua_gethook(L)), oldMask(lua_gethookmask(L)), oldCount(lua_gethookcount(L)),
        outer(activeBudget) {
    activeBudget = &budget;
    lua_sethook(L, budgetHook, BUDGET_MASK, BUDGET_STEP);
  }
  ~TbudgetScope() {
    lua_sethook(L, oldHook, oldMask, oldCount);
    activeBudget = outer;
  }
  TbudgetScope(const TbudgetScope&) = delete;
  TbudgetScope& operator=(const TbudgetScope&) = delete;

 private:
  lua_State* L;
  lua_Hook oldHook;
  int oldMask;
  int oldCount;
  TdecodeBudget budget;
  TdecodeBudget* outer;
};

/// Runs in protected mode, so that building the row table is protected too. Arguments: the row
/// (light userdata pointing at a TrowPtr) and its kind, which names the decode function. Calls
/// that function with the row table, itself protected, and returns its text: the result or the
/// error value when it is a string or a number (converted as Lua's tostring does), else "".
int protectedDecode(lua_State* L) {
  const TrowPtr& row = *static_cast<const TrowPtr*>(lua_touserdata(L, 1));
  lua_getglobal(L, DECODE_FUNCTION[lua_tointeger(L, 2)]);
  rowutils::setParams(row, L);
  lua_pcall(L, 1, 1, 0);
  const int type = lua_type(L, -1);
  if (type == LUA_TNUMBER) {
    lua_tolstring(L, -1, nullptr);  // converts in place
  } else if (type != LUA_TSTRING) {
    lua_pop(L, 1);
    lua_pushliteral(L, "");
  }
  return 1;
}

}  // namespace

namespace rowutils {

void setParams(const TrowPtr& row, lua_State* L) {
  const Tbase* base = row.get();
  if (!base) {
    lua_pushnil(L);
    return;
  }
  lua_createtable(L, 0, base->kind == ROW_RESET ? 4 : 5);
  setInt(L, "handle", base->handle);
  setInt(L, "parent", base->parent);
  switch (base->kind) {
    case ROW_RESET:
      if (auto r = dynamic_cast<const Treset*>(base)) {
        setText(L, "type", "reset");
        setInt(L, "duration", r->duration);
        setInt(L, "idleTicks", r->idleTicks);
      }
      break;
    case ROW_SOF:
      if (auto s = dynamic_cast<const Tsof*>(base)) {
        setInt(L, "pid", s->pid);
        setText(L, "type", "sof");
        setInt(L, "frame", s->frame);
        setInt(L, "crc5", s->crc5);
        setBool(L, "crcOK", s->crcOK);
      }
      break;
    case ROW_TOKEN:
      if (auto t = dynamic_cast<const Ttoken*>(base)) {
        setInt(L, "pid", t->pid);
        setText(L, "type", "token");
        setInt(L, "addr", t->addr);
        setInt(L, "endp", t->endp);
        setInt(L, "crc5", t->crc5);
        setBool(L, "crcOK", t->crcOK);
      }
      break;
    case ROW_DATA:
      if (auto d = dynamic_cast<const Tdata*>(base)) {
        setInt(L, "pid", d->pid);
        setText(L, "type", "data");
        setBytes(L, "data", d->data);
        setInt(L, "crc16", d->crc16);
        setBool(L, "crcOK", d->crcOK);
      }
      break;
    case ROW_HANDSHAKE:
      if (auto h = dynamic_cast<const Thandshake*>(base)) {
        setInt(L, "pid", h->pid);
        setText(L, "type", "handshake");
      }
      break;
    case ROW_SOFGROUP:
      if (auto g = dynamic_cast<const TsofGroup*>(base)) {
        setChildren(L, g->children);
        setText(L, "type", "sofgroup");
      }
      break;
    case ROW_TRANSAX:
      if (auto t = dynamic_cast<const Ttransax*>(base)) {
        setChildren(L, t->children);
        setText(L, "type", "transaction");
        setText(L, "subType", transactionText(t->subType));
      }
      break;
    case ROW_TRANSFER:
      if (auto t = dynamic_cast<const Ttransfer*>(base)) {
        setChildren(L, t->children);
        setText(L, "type", "transfer");
        setText(L, "subType", "CONTROL");
      }
      break;
    default:
      break;  // no kind: handle and parent only
  }
}

std::string doDecode(const TrowPtr& row, lua_State* L) {
  if (!row || row->kind < ROW_RESET || row->kind > ROW_TRANSFER) return {};
  if (row->kind == ROW_SOFGROUP) {
    const auto* group = dynamic_cast<const TsofGroup*>(row.get());
    const size_t n = group ? group->children.size() : 0;
    return "SAn uninterrupted sequence of " + std::to_string(n) + " SOF (Start Of Frame) packets";
  }
  if (!L || !lua_checkstack(L, DECODE_STACK_NEED)) return {};

  const TbudgetScope scope(L);

  const int top = lua_gettop(L);
  lua_pushcfunction(L, protectedDecode);
  lua_pushlightuserdata(L, const_cast<TrowPtr*>(&row));
  lua_pushinteger(L, row->kind);  // pushing no string: nothing here allocates
  lua_pcall(L, 2, 1, 0);

  std::string result;
  if (lua_type(L, -1) == LUA_TSTRING) {  // only a failure of the wrapper itself leaves another
    size_t len = 0;
    const char* text = lua_tolstring(L, -1, &len);
    result.assign(text, len);
  }
  lua_settop(L, top);
  return result;
}

int budgetedCall(lua_State* L, int nargs, int nresults) {
  const TbudgetScope scope(L);
  return lua_pcall(L, nargs, nresults, 0);
}

}  // namespace rowutils
