#pragma once

// What the messages of a run of the test build claimed, as it recorded them
// (tests/claims_seam.cpp), held against the files: the claims as values, whatever words tell them.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "app/faulty_runs.h"
#include "app/tool_runs.h"
#include "replace/error.h"

namespace jassrewrite::end_to_end {

using jassrewrite::Claim;

struct ToldClaim {
  Claim claim = Claim::kNothing;
  // The file or stream it names, as the run named it.
  std::string named;
};

inline std::vector<ToldClaim> told_claims(const ToolRun& run) {
  std::vector<ToldClaim> claims;
  std::istringstream in(run.claims);
  for (std::string line; std::getline(in, line);) {
    const std::string name = line.substr(0, line.find(' '));
    const auto known = std::find(std::begin(kClaimNames), std::end(kClaimNames), name);
    EXPECT_NE(known, std::end(kClaimNames)) << "an unknown claim: " << line;
    if (known != std::end(kClaimNames)) {
      claims.push_back({static_cast<Claim>(known - std::begin(kClaimNames)),
                        line.substr(std::min(line.size(), name.size() + 1))});
    }
  }
  return claims;
}

inline bool claimed(const ToolRun& run, Claim claim) {
  const std::vector<ToldClaim> claims = told_claims(run);
  return std::any_of(claims.begin(), claims.end(),
                     [claim](const ToldClaim& told) { return told.claim == claim; });
}

// Whether a message of the run named a file that holds the complete rewrite: `file`, or any.
inline bool names_the_rewrite(const fs::path& folder, const ToolRun& run,
                              const fs::path& file = {}) {
  for (const ToldClaim& told : told_claims(run)) {
    if (!told.named.empty() && (file.empty() || fs::path(told.named) == file) &&
        fs::is_regular_file(folder / told.named) && read_file(folder / told.named) == kRewritten) {
      return true;
    }
  }
  return false;
}

// Each claim that the run's messages made, held against the files. "Unchanged" means by this run:
// a script cut short by an earlier run, or saved by another program, may be what it was.
// Regression: messages said that tempwar3map.j held the complete rewrite when it held part of it,
// and that the script was left as it was when it had been rewritten; one named the file that kept
// another program's version by an empty name; after a run had finished the rewrite that an earlier
// run left cut short, a later failure of its own said "the script is unchanged".
inline void expect_only_true_claims(const fs::path& folder, const ToolRun& run,
                                    const std::string& where) {
  const std::string script = contents(folder / kScript);
  for (const ToldClaim& told : told_claims(run)) {
    const std::string what = where + ": claimed " + name_of(told.claim) + " " + told.named + ": ";
    switch (told.claim) {
      case Claim::kNothing:
      case Claim::kStreamRefused:  // held against the streams (see wrong_refusal_of_a_stream)
        break;
      case Claim::kUnchanged:
      case Claim::kChanged:
      case Claim::kChangedOtherKept:
        EXPECT_NE(script, kRewritten) << what << run.err;
        break;
      case Claim::kUnchangedRewriteKept:
        EXPECT_NE(script, kRewritten) << what << run.err;
        EXPECT_EQ(contents(folder / told.named), kRewritten) << what << run.err;
        break;
      case Claim::kRewritten:
      case Claim::kFinishedFromEarlierRun:
        EXPECT_EQ(script, kRewritten) << what << run.err;
        break;
      case Claim::kCutShortRewriteKept:
        EXPECT_TRUE(fs::exists(folder / kMark)) << what << run.err;
        EXPECT_EQ(contents(folder / told.named), kRewritten) << what << run.err;
        break;
      case Claim::kMissing:
        EXPECT_FALSE(fs::exists(folder / kScript)) << what << run.err;
        break;
    }
    // A file named as keeping something is there, and no claim names one by an empty name where
    // it must name one.
    const bool names_one = told.claim == Claim::kUnchangedRewriteKept ||
                           told.claim == Claim::kCutShortRewriteKept ||
                           told.claim == Claim::kChangedOtherKept ||
                           told.claim == Claim::kMissing || told.claim == Claim::kStreamRefused;
    EXPECT_TRUE(told.named.empty() ? !names_one
                                   : told.claim == Claim::kStreamRefused ||
                                         fs::exists(fs::symlink_status(folder / told.named)))
        << what << run.err;
  }
}

}  // namespace jassrewrite::end_to_end
