#include "scripted_dialogs.h"


ScriptedDialogs::ScriptedDialogs() : m_previous(Dialogs::setHost(this)) {}

ScriptedDialogs::~ScriptedDialogs() { Dialogs::setHost(m_previous); }

Dialogs::Answer ScriptedDialogs::messageBox(QWidget*, const Dialogs::MessageBoxRequest& request) {
  messages.push_back(request);
  if (!answers.empty()) {
    const Dialogs::Answer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  return request.buttons == Dialogs::Buttons::YesNo ? Dialogs::Answer::Yes : Dialogs::Answer::Ok;
}

Dialogs::InputBoxResult ScriptedDialogs::inputBox(QWidget*, const QString& prompt, const QString& title) {
  inputs.push_back({prompt, title});
  if (inputAnswers.empty()) return {};
  const Dialogs::InputBoxResult answer = inputAnswers.front();
  inputAnswers.pop_front();
  return answer;
}

QString ScriptedDialogs::fileDialog(QWidget*, const Dialogs::FileDialogRequest& request) {
  files.push_back(request);
  if (fileAnswers.empty()) return {};
  const QString answer = fileAnswers.front();
  fileAnswers.pop_front();
  return answer;
}
