// What assistive technology sees of the log control: an editable, multi-line text with the
// caret, the selection, and text by character, word, sentence, row and paragraph.
#pragma once

namespace logview {

// Registers the accessible interface for LogView; once is enough, more are harmless.
void installAccessibleLogView();

} // namespace logview
