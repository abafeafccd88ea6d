#pragma once

// A deterministic generator of JASS-like map scripts for the benchmarks: statements of mixed
// length, about 15 % comment lines, user-code blocks scattered through, and CR LF line ends, as
// the World Editor writes them. The same seed gives the same bytes on every platform.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace jassrewrite::bench {

// splitmix64: tiny, fast, and the same numbers on every platform and compiler.
inline std::uint64_t next_random(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30U)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27U)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31U);
}

inline std::uint64_t pick(std::uint64_t& state, std::uint64_t bound) {
  return next_random(state) % bound;
}

inline constexpr std::array<std::string_view, 12> kStatements = {
    "    call SetUnitPositionLoc(udg_Hero, GetRectCenter(gg_rct_Spawn))",
    "    set udg_Counter = udg_Counter + 1",
    "    local integer i = 0",
    "    if ( GetTriggerUnit() == null ) then",
    "    endif",
    "    call DisplayTextToForce(GetPlayersAll(), \"Wave incoming\")",
    "    call TriggerRegisterPlayerChatEvent(gg_trg_Chat, Player(0), \"-repick\", true)",
    "    return",
    "    set udg_Damage[GetConvertedPlayerId(GetOwningPlayer(GetTriggerUnit()))] = 0.00",
    "    call CreateNUnitsAtLoc(1, 'hfoo', Player(0), GetRectCenter(GetPlayableMapRect()), "
    "bj_UNIT_FACING)",
    "    exitwhen i > 11",
    "    call TriggerAddAction(gg_trg_Melee_Initialization, function Trig_Melee_Actions)",
};

inline constexpr std::array<std::string_view, 6> kComments = {
    "//===========================================================================",
    "// Trigger: Melee Initialization",
    "//",
    "    // indented comment, never rewritten",
    "// Default melee game initialization for all players",
    "////////",
};

inline void append_line(std::string& out, std::string_view line) {
  out.append(line);
  out.append("\r\n");
}

inline void append_statement_or_comment(std::string& out, std::uint64_t& state) {
  if (pick(state, 100) < 15) {
    append_line(out, kComments[pick(state, kComments.size())]);
  } else {
    append_line(out, kStatements[pick(state, kStatements.size())]);
  }
}

// Appends the next piece of script, a line or a whole user-code block, to `out`.
inline void append_script_piece(std::string& out, std::uint64_t& state) {
  if (pick(state, 100) < 2) {
    append_line(out, pick(state, 4) == 0 ? "//!beginusercode extra" : "//!beginusercode");
    for (auto lines = 2 + pick(state, 40); lines > 0; --lines) {
      append_statement_or_comment(out, state);
    }
    append_line(out, "//!endusercode");
  } else {
    append_statement_or_comment(out, state);
  }
}

}  // namespace jassrewrite::bench
