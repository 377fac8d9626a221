#include "language_list.h"

#include <QComboBox>

#include "client_settings.h"

namespace ClientSettings {

void fill_LanguageListBox(QComboBox* list) {
  list->clear();
  for (int position = 0; position < kLanguageCount; ++position) list->addItem(languageEntryAt(position), position);
  list->setCurrentIndex(-1);
}

}  // namespace ClientSettings
