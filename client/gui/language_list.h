// The language list of the start-up and options windows.
#pragma once

class QComboBox;

namespace ClientSettings {

// Fills `list` with "English", "Deutsch", "Japanese", "Español" (replacing
// what it held), each carrying its position as item data; nothing selected.
void fill_LanguageListBox(QComboBox* list);

}  // namespace ClientSettings
