// Test support: answers the client's message boxes, input boxes and file
// dialogs from a script and records what was asked. Installed for its
// lifetime.
#pragma once

#include <QString>
#include <deque>
#include <functional>
#include <vector>

#include "dialogs.h"

class QWidget;

class ScriptedDialogs : public Dialogs::Host {
 public:
  ScriptedDialogs();
  ~ScriptedDialogs() override;
  ScriptedDialogs(const ScriptedDialogs&) = delete;
  ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

  struct InputCall {
    QString prompt, title;
  };

  // What was asked, in order.
  std::vector<Dialogs::MessageBoxRequest> messages;
  std::vector<InputCall> inputs;
  std::vector<Dialogs::FileDialogRequest> files;

  // The answers, taken in order. A message box without a scripted answer gets
  // its first button (OK or Yes); an input box gets an empty confirmed text; a
  // file dialog is cancelled.
  std::deque<Dialogs::Answer> answers;
  std::deque<Dialogs::InputBoxResult> inputAnswers;
  std::deque<QString> fileAnswers;

  Dialogs::Answer messageBox(QWidget* parent, const Dialogs::MessageBoxRequest& request) override;
  Dialogs::InputBoxResult inputBox(QWidget* parent, const QString& prompt, const QString& title) override;
  QString fileDialog(QWidget* parent, const Dialogs::FileDialogRequest& request) override;

 private:
  Dialogs::Host* m_previous;
};
