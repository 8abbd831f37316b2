// A fixed mapping of the test cycle recognised in a chain's replies, in words: the speeds and
// frame formats that explain it, where in the chain, and what to set; or that nothing explains
// it. Built from the explainer's fits, in a fixed order, so that one chain is named one way.
#pragma once

#include "farend/diagnosis/explainer.h"
#include "farend/figures/mapping.h"
#include "farend/line/linesettings.h"

#include <string>

// "the far device at 19200 8N1, or the device server's port at 4800 8N2: they give the same
// replies"; unexplained: that the replies are a fixed mapping.
std::string mappingText(const RecognisedMapping &m);
// What to do about it, in one sentence.
std::string mappingStep(const RecognisedMapping &m);

// The settings of `e` named in order for a tester at `tester`. With `portFollowsTester` (an RFC
// 2217 server acknowledged the tester's settings) the port is taken as right unless only it
// explains the replies nearly as well; with `standardOnly` (replies of one byte value, whose
// count is all they say) only standard rates are named.
RecognisedMapping nameExplanation(const Explanation &e, const LineSettings &tester,
                                  bool portFollowsTester, bool standardOnly = false);
