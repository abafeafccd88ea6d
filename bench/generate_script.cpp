// Writes a deterministic, JASS-like map script of about the requested size to standard output:
// statements of mixed length, about 15 % comment lines, user-code blocks scattered through, and
// CR LF line ends, as the World Editor writes them.
//
//   generate_script SIZE_IN_BYTES [SEED] > outputwar3map.j

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// splitmix64: tiny, fast, and the same numbers on every platform and compiler.
std::uint64_t next_random(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30U)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27U)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31U);
}

std::uint64_t pick(std::uint64_t& state, std::uint64_t bound) { return next_random(state) % bound; }

constexpr std::array<std::string_view, 12> kStatements = {
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

constexpr std::array<std::string_view, 6> kComments = {
    "//===========================================================================",
    "// Trigger: Melee Initialization",
    "//",
    "    // indented comment, never rewritten",
    "// Default melee game initialization for all players",
    "////////",
};

void append_line(std::string& out, std::string_view line) {
  out.append(line);
  out.append("\r\n");
}

void append_statement_or_comment(std::string& out, std::uint64_t& state) {
  if (pick(state, 100) < 15) {
    append_line(out, kComments[pick(state, kComments.size())]);
  } else {
    append_line(out, kStatements[pick(state, kStatements.size())]);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) {
    std::fputs("usage: generate_script SIZE_IN_BYTES [SEED] > script.j\n", stderr);
    return 2;
  }
  const auto target_size = std::strtoull(argv[1], nullptr, 10);
  std::uint64_t state = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;

  std::string chunk;
  std::uint64_t written = 0;
  while (written < target_size) {
    chunk.clear();
    while (chunk.size() < (1U << 16U)) {
      if (pick(state, 100) < 2) {
        append_line(chunk, pick(state, 4) == 0 ? "//!beginusercode extra" : "//!beginusercode");
        for (auto lines = 2 + pick(state, 40); lines > 0; --lines) {
          append_statement_or_comment(chunk, state);
        }
        append_line(chunk, "//!endusercode");
      } else {
        append_statement_or_comment(chunk, state);
      }
    }
    if (std::fwrite(chunk.data(), 1, chunk.size(), stdout) != chunk.size()) {
      std::perror("generate_script");
      return 1;
    }
    written += chunk.size();
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
