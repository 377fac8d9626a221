// .reg entries to and from the registry.
#include <algorithm>
#include <string>

#include "platform/reg_file.h"
#include "platform/text.h"

namespace platform::regfile {

namespace {

std::u16string join(std::u16string_view path, std::u16string_view name) {
  if (path.empty()) return std::u16string(name);
  std::u16string out(path);
  out += u'\\';
  out += name;
  return out;
}

const WCHAR* pathArg(const std::u16string& path) { return path.empty() ? nullptr : path.c_str(); }

// The path as the hive spells it, walking down from the root.
LONG storedPath(HKEY root, std::u16string_view path, std::u16string* stored) {
  stored->clear();
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    const std::u16string_view part = path.substr(start, end - start);
    HKEY key = nullptr;
    if (LONG e = RegOpenKeyExW(root, pathArg(*stored), 0, KEY_ENUMERATE_SUB_KEYS, &key)) return e;
    std::vector<std::u16string> names;
    const LONG rc = RegReadKeyContents(key, nullptr, &names);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return rc;
    const auto found = std::find_if(names.begin(), names.end(),
                                    [&](const std::u16string& n) { return equalsAsciiNoCase(n, part); });
    if (found == names.end()) return ERROR_FILE_NOT_FOUND;
    *stored = join(*stored, *found);
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

// Appends one key and its values; returns its subkeys' names in order.
LONG readKey(Root root, const std::u16string& path, Document* doc, std::vector<std::u16string>* subKeys) {
  HKEY key = nullptr;
  if (LONG e = RegOpenKeyExW(rootKey(root), pathArg(path), 0, KEY_READ, &key)) return e;
  Entry keyEntry;
  keyEntry.root = root;
  keyEntry.path = path;
  doc->push_back(keyEntry);

  // The whole key in one read: by index, every item would cost a scan of the key.
  std::vector<RegValueEntry> values;
  const LONG rc = RegReadKeyContents(key, &values, subKeys);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return rc;
  for (auto& value : values) {
    Entry v;
    v.kind = Entry::Kind::kValue;
    v.root = root;
    v.path = path;
    v.name = std::move(value.name);
    v.type = value.type;
    v.data = std::move(value.data);
    doc->push_back(std::move(v));
  }
  return ERROR_SUCCESS;
}

LONG readTree(Root root, const std::u16string& top, Document* doc) {
  // Depth first, without recursion: a hive may nest deeper than the stack allows.
  std::vector<std::u16string> pending{top};
  while (!pending.empty()) {
    const std::u16string path = std::move(pending.back());
    pending.pop_back();
    std::vector<std::u16string> subKeys;
    if (LONG e = readKey(root, path, doc, &subKeys)) return e;
    for (auto it = subKeys.rbegin(); it != subKeys.rend(); ++it) pending.push_back(join(path, *it));
  }
  return ERROR_SUCCESS;
}

bool hasZero(const std::u16string& s) { return s.find(u'\0') != std::u16string::npos; }

LONG applyEntry(const Entry& e) {
  if (hasZero(e.path) || hasZero(e.name)) return ERROR_INVALID_PARAMETER;
  const HKEY root = rootKey(e.root);
  HKEY key = nullptr;
  LONG rc = ERROR_SUCCESS;
  switch (e.kind) {
    case Entry::Kind::kKey:
    case Entry::Kind::kValue:
      rc = RegCreateKeyExW(root, pathArg(e.path), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, &key, nullptr);
      if (rc == ERROR_SUCCESS && e.kind == Entry::Kind::kValue)
        rc = RegSetValueExW(key, e.name.c_str(), 0, e.type, e.data.data(), static_cast<DWORD>(e.data.size()));
      break;
    case Entry::Kind::kDeleteKey:
      if (e.path.empty()) return ERROR_ACCESS_DENIED;
      rc = RegDeleteTreeW(root, e.path.c_str());
      break;
    case Entry::Kind::kDeleteValue:
      rc = RegOpenKeyExW(root, pathArg(e.path), 0, KEY_SET_VALUE, &key);
      if (rc == ERROR_SUCCESS) rc = RegDeleteValueW(key, e.name.c_str());
      break;
  }
  if (key != nullptr) RegCloseKey(key);
  // Deleting what is not there leaves the registry as the file wants it.
  const bool deletion = e.kind == Entry::Kind::kDeleteKey || e.kind == Entry::Kind::kDeleteValue;
  return deletion && rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

}  // namespace

std::string errorText(LONG code) {
  std::string text;
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      text = "not found";
      break;
    case ERROR_ACCESS_DENIED:
      text = "access denied";
      break;
    case ERROR_INVALID_PARAMETER:
      text = "invalid name or parameter";
      break;
    case ERROR_BUSY:
      text = "the hive is busy (another process holds it)";
      break;
    case ERROR_KEY_DELETED:
      text = "the key was deleted meanwhile";
      break;
    case ERROR_REGISTRY_CORRUPT:
      text = "the hive file is not a valid hive";
      break;
    default:
      text = "registry error";
      break;
  }
  return text + " (" + std::to_string(code) + ")";
}

LONG read(Root root, std::u16string_view path, Document* doc) {
  doc->clear();
  const HKEY rootHandle = rootKey(root);
  // A transaction, so that what is read is one state of the hive.
  if (LONG e = RegBeginTransaction(rootHandle)) return e;
  std::u16string stored;
  LONG rc = storedPath(rootHandle, path, &stored);
  if (rc == ERROR_SUCCESS) rc = readTree(root, stored, doc);
  RegRollbackTransaction(rootHandle);
  return rc;
}

LONG apply(const Document& doc, Error* error) {
  std::vector<HKEY> begun;
  auto rollback = [&] {
    for (HKEY h : begun) RegRollbackTransaction(h);
  };
  // Machine first: the order every thread that needs both hives uses.
  for (Root root : {Root::kLocalMachine, Root::kCurrentUser}) {
    if (std::none_of(doc.begin(), doc.end(), [&](const Entry& e) { return e.root == root; })) continue;
    if (LONG e = RegBeginTransaction(rootKey(root))) {
      rollback();
      *error = {0, "cannot open " + toAnsi(rootName(root)) + ": " + errorText(e)};
      return e;
    }
    begun.push_back(rootKey(root));
  }
  for (const Entry& e : doc) {
    if (LONG rc = applyEntry(e)) {
      rollback();
      std::string what = toAnsi(rootName(e.root)) + (e.path.empty() ? "" : "\\" + toAnsi(e.path));
      if (e.kind == Entry::Kind::kValue || e.kind == Entry::Kind::kDeleteValue)
        what += e.name.empty() ? " (default value)" : " value \"" + toAnsi(e.name) + "\"";
      *error = {e.line, what + ": " + errorText(rc)};
      return rc;
    }
  }
  for (std::size_t i = 0; i < begun.size(); ++i) {
    if (LONG rc = RegCommitTransaction(begun[i])) {
      for (std::size_t j = i + 1; j < begun.size(); ++j) RegRollbackTransaction(begun[j]);
      *error = {0, "cannot save the changes: " + errorText(rc)};
      return rc;
    }
  }
  return ERROR_SUCCESS;
}

LONG exportKey(Root root, std::u16string_view path, std::string* text, Error* error) {
  Document doc;
  if (LONG rc = read(root, path, &doc)) {
    *error = {0, toAnsi(rootName(root)) + (path.empty() ? "" : "\\" + toAnsi(path)) + ": " + errorText(rc)};
    return rc;
  }
  return format(doc, text, error) ? ERROR_SUCCESS : ERROR_INVALID_NAME;
}

}  // namespace platform::regfile
