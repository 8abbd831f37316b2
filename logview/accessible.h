// What assistive technology sees of the log control: an editable, multi-line text with the
// caret, the selection, and text by character, word, sentence, row and paragraph.
#pragma once

namespace logview {

// What changes of its own the program tells assistive technology, it tells at most once in this
// many milliseconds, collected: Orca keeps up with a tick of 1 ms, and a person can follow.
constexpr int kAnnouncementInterval = 1000;

// Registers the accessible interface for LogView; once is enough, more are harmless.
void installAccessibleLogView();

} // namespace logview
