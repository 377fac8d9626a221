// The Windows registry calls on top of the SQLite hives (hive.h).
#include "platform/registry.h"

#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "hive.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "remote.h"
#include "remote_protocol.h"

using platform::hive::Hive;
using platform::hive::HiveError;
using platform::hive::KeyId;
using platform::hive::kRootKey;
using platform::hive::Session;

namespace {

constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;

// Generic rights as Windows maps them for keys.
constexpr REGSAM kGenericRead = 0x80000000u;
constexpr REGSAM kGenericWrite = 0x40000000u;
constexpr REGSAM kGenericAll = 0x10000000u;
constexpr REGSAM kMaximumAllowed = 0x02000000u;

// What a handle refers to. The HKEY given out is the address of this object;
// the table below tells live handles from closed or made-up ones. A key of
// another computer has no hive but its session and the far side's number.
struct OpenKey {
  std::shared_ptr<Hive> hive;
  KeyId id;
  REGSAM access;
  std::shared_ptr<platform::remote::Session> remote;
  std::uint64_t remoteKey = 0;
};

std::shared_ptr<OpenKey> localKey(std::shared_ptr<Hive> hive, KeyId id, REGSAM access) {
  return std::make_shared<OpenKey>(OpenKey{std::move(hive), id, access, nullptr, 0});
}

class HandleTable {
 public:
  HKEY add(std::shared_ptr<OpenKey> key) {
    HKEY handle = reinterpret_cast<HKEY>(key.get());
    std::lock_guard lock(m_mutex);
    m_keys.emplace(handle, std::move(key));
    return handle;
  }
  // A copy, so a handle closed by another thread meanwhile stays usable until
  // the call that looked it up has finished.
  std::shared_ptr<OpenKey> find(HKEY handle) {
    std::lock_guard lock(m_mutex);
    auto it = m_keys.find(handle);
    return it == m_keys.end() ? nullptr : it->second;
  }
  // The handle's key, no longer in the table; null when it was not there.
  std::shared_ptr<OpenKey> take(HKEY handle) {
    std::lock_guard lock(m_mutex);
    auto it = m_keys.find(handle);
    if (it == m_keys.end()) return nullptr;
    std::shared_ptr<OpenKey> key = std::move(it->second);
    m_keys.erase(it);
    return key;
  }

 private:
  std::mutex m_mutex;
  std::unordered_map<HKEY, std::shared_ptr<OpenKey>> m_keys;
};

HandleTable& handles() {
  static auto* table = new HandleTable;  // outlives every static destructor
  return *table;
}

bool isRootHandle(HKEY key) { return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER; }

std::filesystem::path hiveFile(HKEY root) {
  return root == HKEY_LOCAL_MACHINE ? platform::machineRoot() / "machine.hive"
                                    : platform::userRoot() / "user.hive";
}

LONG openRoot(HKEY root, REGSAM access, std::shared_ptr<OpenKey>* out) {
  LONG error = ERROR_CANTOPEN;
  auto hive = Hive::get(hiveFile(root), &error);
  if (!hive) return error;
  *out = localKey(std::move(hive), kRootKey, access);
  return ERROR_SUCCESS;
}

LONG resolve(HKEY key, std::shared_ptr<OpenKey>* out) {
  if (isRootHandle(key)) return openRoot(key, KEY_ALL_ACCESS, out);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  *out = handles().find(key);
  return *out ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

REGSAM effectiveAccess(REGSAM sam) {
  REGSAM access = sam & KEY_ALL_ACCESS;
  if (sam & kGenericRead) access |= KEY_READ;
  if (sam & kGenericWrite) access |= KEY_WRITE;
  if (sam & (kGenericAll | kMaximumAllowed)) access |= KEY_ALL_ACCESS;
  return access;
}

bool allows(const OpenKey& key, REGSAM needed) { return (key.access & needed) == needed; }

// A caller's text argument: absent (null pointer) or given.
using OptText = std::optional<std::u16string>;

OptText textArg(LPCWSTR s) { return s == nullptr ? OptText() : OptText(std::u16string(s)); }
OptText textArg(LPCSTR s) { return s == nullptr ? OptText() : OptText(platform::toWide(s)); }

LONG splitPath(const OptText& path, std::vector<std::u16string>* parts) {
  if (!path || path->empty()) return ERROR_SUCCESS;
  std::u16string_view rest(*path);
  if (rest.back() == u'\\') rest.remove_suffix(1);
  while (true) {
    const auto sep = rest.find(u'\\');
    const auto part = rest.substr(0, sep);
    if (part.empty() || part.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    parts->emplace_back(part);
    if (sep == std::u16string_view::npos) return ERROR_SUCCESS;
    rest.remove_prefix(sep + 1);
  }
}

LONG checkValueName(const OptText& name) {
  return name && name->size() > kMaxValueNameLength ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

std::u16string valueNameOf(const OptText& name) { return name ? *name : std::u16string(); }

// Throws ERROR_KEY_DELETED when the handle's key no longer exists.
void requireKey(Session& s, const OpenKey& key) {
  if (!s.keyExists(key.id)) throw HiveError{ERROR_KEY_DELETED};
}

// The key at `parts` below the handle's key, or nullopt when one is missing.
std::optional<KeyId> walk(Session& s, const OpenKey& key, const std::vector<std::u16string>& parts) {
  requireKey(s, key);
  KeyId id = key.id;
  for (const auto& part : parts) {
    auto child = s.findChild(id, part);
    if (!child) return std::nullopt;
    id = *child;
  }
  return id;
}

bool isStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::u16string unitsOf(const std::vector<BYTE>& bytes) {
  return platform::fromUtf16leBytes(bytes.data(), bytes.size());
}

// Stored string data as the A functions hand it out.
std::vector<BYTE> toAnsiData(DWORD type, std::vector<BYTE> data) {
  if (!isStringType(type)) return data;
  const std::string ansi = platform::toAnsi(unitsOf(data));
  return std::vector<BYTE>(ansi.begin(), ansi.end());
}

LONG deliverData(const std::vector<BYTE>& bytes, LPBYTE data, LPDWORD cbData) {
  if (cbData == nullptr) return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
  const DWORD needed = static_cast<DWORD>(bytes.size());
  if (data != nullptr && *cbData < needed) {
    *cbData = needed;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && needed > 0) std::memcpy(data, bytes.data(), needed);
  *cbData = needed;
  return ERROR_SUCCESS;
}

template <typename Char>
LONG deliverName(const std::basic_string<Char>& name, Char* buffer, LPDWORD cch) {
  if (buffer == nullptr || cch == nullptr) return ERROR_INVALID_PARAMETER;
  if (name.size() + 1 > *cch) {
    *cch = static_cast<DWORD>(name.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::copy(name.begin(), name.end(), buffer);
  buffer[name.size()] = Char(0);
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

template <typename Char>
void clearClass(Char* keyClass, LPDWORD cchClass) {
  if (cchClass == nullptr) return;
  if (keyClass != nullptr && *cchClass > 0) keyClass[0] = Char(0);
  *cchClass = 0;
}

void clearTime(void* lastWriteTime) {
  if (lastWriteTime != nullptr) std::memset(lastWriteTime, 0, 8);  // a FILETIME
}

// ---- keys of another computer: the same checks, then the far side's answer ----

// The key of another computer behind a handle; null for a key of this one.
std::shared_ptr<OpenKey> remoteKey(HKEY key) {
  if (key == nullptr || isRootHandle(key)) return nullptr;
  auto k = handles().find(key);
  return k && k->remote ? k : nullptr;
}

HKEY addRemote(const OpenKey& base, std::uint64_t farKey, REGSAM access) {
  return handles().add(std::make_shared<OpenKey>(OpenKey{nullptr, 0, access, base.remote, farKey}));
}

// Names travel in the ANSI code page, paths joined by single backslashes.
std::string remotePath(const std::vector<std::u16string>& parts) {
  std::string path;
  for (const auto& part : parts) {
    if (!path.empty()) path.push_back('\\');
    path += platform::toAnsi(part);
  }
  return path;
}

std::string remoteName(const OptText& name) { return platform::toAnsi(valueNameOf(name)); }

LONG createRemote(const OpenKey& base, const std::vector<std::u16string>& parts, REGSAM sam, PHKEY result,
                  LPDWORD disposition) {
  const std::string path = remotePath(parts);
  std::uint64_t farKey = 0;
  DWORD made = REG_OPENED_EXISTING_KEY;
  LONG rc;
  if (allows(base, KEY_CREATE_SUB_KEY)) {
    rc = base.remote->createKey(base.remoteKey, path, &farKey, &made);
  } else {
    // Without the right to create, only a key that exists opens, as here.
    rc = base.remote->openKey(base.remoteKey, path, sam, &farKey);
    if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_ACCESS_DENIED;
  }
  if (rc != ERROR_SUCCESS) return rc;
  if (disposition != nullptr) *disposition = made;
  *result = addRemote(base, farKey, effectiveAccess(sam));
  return ERROR_SUCCESS;
}

// RegQueryValueEx on a key of another computer. The wide form asks for just
// what the caller's buffer takes; the ANSI form needs the whole text to know
// its converted size, and then answers as for a value of this computer.
LONG queryRemote(const OpenKey& k, const OptText& name, LPDWORD type, LPBYTE data, LPDWORD cbData,
                 bool ansi) {
  if (LONG e = checkValueName(name)) return e;
  if (!allows(k, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  const std::string farName = remoteName(name);
  DWORD storedType = 0, needed = 0;
  std::vector<BYTE> bytes;
  LONG rc;
  if (!ansi && data == nullptr) {
    rc = k.remote->queryValueSize(k.remoteKey, farName, &storedType, &needed);
  } else {
    const DWORD size = ansi ? DWORD(platform::remote::kMaxLine) : *cbData;
    rc = k.remote->queryValue(k.remoteKey, farName, size, &storedType, &bytes, &needed);
  }
  if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) return rc;
  if (type != nullptr) *type = storedType;
  if (rc == ERROR_MORE_DATA || (!ansi && data == nullptr)) {
    if (cbData != nullptr) *cbData = needed;
    return rc;
  }
  return deliverData(ansi ? toAnsiData(storedType, std::move(bytes)) : bytes, data, cbData);
}

// ---- the operations, in wide text ----

LONG openKey(HKEY key, const OptText& subKey, REGSAM sam, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::vector<std::u16string> parts;
  if (LONG e = splitPath(subKey, &parts)) return e;
  std::shared_ptr<OpenKey> base;
  if (LONG e = resolve(key, &base)) return e;
  if (base->remote) {
    std::uint64_t farKey = 0;
    if (LONG e = base->remote->openKey(base->remoteKey, remotePath(parts), sam, &farKey)) return e;
    *result = addRemote(*base, farKey, effectiveAccess(sam));
    return ERROR_SUCCESS;
  }
  KeyId found = 0;
  const LONG rc = base->hive->read([&](Session& s) {
    auto id = walk(s, *base, parts);
    if (!id) return ERROR_FILE_NOT_FOUND;
    found = *id;
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  *result = handles().add(localKey(base->hive, found, effectiveAccess(sam)));
  return ERROR_SUCCESS;
}

LONG createKey(HKEY key, const OptText& subKey, REGSAM sam, PHKEY result, LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::vector<std::u16string> parts;
  if (LONG e = splitPath(subKey, &parts)) return e;
  std::shared_ptr<OpenKey> base;
  if (LONG e = resolve(key, &base)) return e;
  if (base->remote) return createRemote(*base, parts, sam, result, disposition);
  KeyId found = 0;
  bool created = false;
  const LONG rc = base->hive->write([&](Session& s) {
    requireKey(s, *base);
    KeyId id = base->id;
    for (const auto& part : parts) {
      if (auto child = s.findChild(id, part)) {
        id = *child;
        continue;
      }
      if (!created && !allows(*base, KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
      id = s.createChild(id, part);
      created = true;
    }
    found = id;
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = handles().add(localKey(base->hive, found, effectiveAccess(sam)));
  return ERROR_SUCCESS;
}

// Reads one value as stored.
LONG queryValue(HKEY key, const OptText& name, DWORD* type, std::vector<BYTE>* data) {
  if (LONG e = checkValueName(name)) return e;
  std::shared_ptr<OpenKey> k;
  if (LONG e = resolve(key, &k)) return e;
  if (!allows(*k, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  return k->hive->read([&](Session& s) {
    requireKey(s, *k);
    auto v = s.value(k->id, valueNameOf(name));
    if (!v) return ERROR_FILE_NOT_FOUND;
    *type = v->type;
    *data = std::move(v->data);
    return ERROR_SUCCESS;
  });
}

LONG setValue(HKEY key, const OptText& name, DWORD type, std::vector<BYTE> data) {
  if (LONG e = checkValueName(name)) return e;
  std::shared_ptr<OpenKey> k;
  if (LONG e = resolve(key, &k)) return e;
  if (!allows(*k, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (k->remote) return k->remote->setValue(k->remoteKey, remoteName(name), type, data);
  return k->hive->write([&](Session& s) {
    requireKey(s, *k);
    s.setValue(k->id, valueNameOf(name), type, data);
    return ERROR_SUCCESS;
  });
}

LONG deleteValue(HKEY key, const OptText& name) {
  if (LONG e = checkValueName(name)) return e;
  std::shared_ptr<OpenKey> k;
  if (LONG e = resolve(key, &k)) return e;
  if (!allows(*k, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (k->remote) return k->remote->deleteValue(k->remoteKey, remoteName(name));
  return k->hive->write([&](Session& s) {
    requireKey(s, *k);
    return s.deleteValue(k->id, valueNameOf(name)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

LONG deleteKey(HKEY key, const OptText& subKey) {
  if (!subKey) return ERROR_INVALID_PARAMETER;
  std::vector<std::u16string> parts;
  if (LONG e = splitPath(subKey, &parts)) return e;
  std::shared_ptr<OpenKey> k;
  if (LONG e = resolve(key, &k)) return e;
  if (k->remote) return k->remote->deleteKey(k->remoteKey, remotePath(parts));
  return k->hive->write([&](Session& s) {
    auto id = walk(s, *k, parts);
    if (!id) return ERROR_FILE_NOT_FOUND;
    if (*id == kRootKey || s.hasChildren(*id)) return ERROR_ACCESS_DENIED;
    s.deleteTree(*id, false);
    return ERROR_SUCCESS;
  });
}

LONG deleteTree(HKEY key, const OptText& subKey) {
  std::vector<std::u16string> parts;
  if (LONG e = splitPath(subKey, &parts)) return e;
  std::shared_ptr<OpenKey> k;
  if (LONG e = resolve(key, &k)) return e;
  if (k->remote) return ERROR_NOT_SUPPORTED;  // no such request in the wire format
  if (parts.empty() && !allows(*k, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return k->hive->write([&](Session& s) {
    auto id = walk(s, *k, parts);
    if (!id) return ERROR_FILE_NOT_FOUND;
    s.deleteTree(*id, parts.empty());
    return ERROR_SUCCESS;
  });
}

LONG enumKey(HKEY key, DWORD index, std::u16string* name) {
  std::shared_ptr<OpenKey> k;
  if (LONG e = resolve(key, &k)) return e;
  if (k->remote) return ERROR_NOT_SUPPORTED;
  if (!allows(*k, KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  return k->hive->read([&](Session& s) {
    requireKey(s, *k);
    auto child = s.childAt(k->id, index);
    if (!child) return ERROR_NO_MORE_ITEMS;
    *name = std::move(*child);
    return ERROR_SUCCESS;
  });
}

LONG enumValue(HKEY key, DWORD index, platform::hive::Value* value) {
  std::shared_ptr<OpenKey> k;
  if (LONG e = resolve(key, &k)) return e;
  if (!allows(*k, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (k->remote) {
    std::string name;
    if (LONG e = k->remote->enumValue(k->remoteKey, index, &name, &value->type, &value->data)) return e;
    value->name = platform::toWide(name);
    return ERROR_SUCCESS;
  }
  return k->hive->read([&](Session& s) {
    requireKey(s, *k);
    auto v = s.valueAt(k->id, index);
    if (!v) return ERROR_NO_MORE_ITEMS;
    *value = std::move(*v);
    return ERROR_SUCCESS;
  });
}

LONG readContents(HKEY key, std::vector<platform::RegValueEntry>* values,
                  std::vector<std::u16string>* subKeys) {
  std::shared_ptr<OpenKey> k;
  if (LONG e = resolve(key, &k)) return e;
  if (k->remote) return ERROR_NOT_SUPPORTED;
  if (values != nullptr && !allows(*k, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (subKeys != nullptr && !allows(*k, KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  std::vector<platform::RegValueEntry> readValues;
  std::vector<std::u16string> readSubKeys;
  const LONG rc = k->hive->read([&](Session& s) {
    requireKey(s, *k);
    if (values != nullptr) {
      for (auto& v : s.values(k->id)) readValues.push_back({std::move(v.name), v.type, std::move(v.data)});
    }
    if (subKeys != nullptr) readSubKeys = s.children(k->id);
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  if (values != nullptr) *values = std::move(readValues);
  if (subKeys != nullptr) *subKeys = std::move(readSubKeys);
  return ERROR_SUCCESS;
}

template <typename Char>
LONG enumValueAs(HKEY key, DWORD index, Char* valueName, LPDWORD cchValueName, LPDWORD type, LPBYTE data,
                 LPDWORD cbData, bool ansi) {
  if (valueName == nullptr || cchValueName == nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && cbData == nullptr) return ERROR_INVALID_PARAMETER;
  platform::hive::Value v;
  if (LONG e = enumValue(key, index, &v)) return e;
  std::basic_string<Char> name;
  if constexpr (sizeof(Char) == 1) {
    name = platform::toAnsi(v.name);
  } else {
    name = v.name;
  }
  if (type != nullptr) *type = v.type;
  const LONG nameResult = deliverName(name, valueName, cchValueName);
  const LONG dataResult = deliverData(ansi ? toAnsiData(v.type, std::move(v.data)) : v.data, data, cbData);
  return nameResult != ERROR_SUCCESS ? nameResult : dataResult;
}

bool isLocalMachineName(std::u16string_view name) {
  return platform::remote::isLocalMachineName(platform::toAnsi(name));
}

LONG connectRemote(const std::string& machine, HKEY key, PHKEY result) {
  std::string name;
  if (LONG e = platform::remote::checkComputerName(machine, &name)) return e;
  // Another computer's users are not ours to reach.
  if (key != HKEY_LOCAL_MACHINE) return ERROR_ACCESS_DENIED;
  OpenKey root{nullptr, 0, KEY_ALL_ACCESS, nullptr, 0};
  if (LONG e = platform::remote::sessionFor(name, &root.remote)) return e;
  if (LONG e = root.remote->connectMachine(&root.remoteKey)) return e;
  *result = handles().add(std::make_shared<OpenKey>(std::move(root)));
  return ERROR_SUCCESS;
}

LONG connectRegistry(const OptText& machine, HKEY key, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (!isRootHandle(key)) return ERROR_INVALID_HANDLE;
  if (machine && !isLocalMachineName(*machine)) return connectRemote(platform::toAnsi(*machine), key, result);
  std::shared_ptr<OpenKey> root;
  if (LONG e = openRoot(key, KEY_ALL_ACCESS, &root)) return e;
  *result = handles().add(std::move(root));
  return ERROR_SUCCESS;
}

template <typename Fn>
LONG withHive(HKEY key, Fn&& fn) {
  std::shared_ptr<OpenKey> k;
  if (LONG e = resolve(key, &k)) return e;
  if (k->remote) return ERROR_NOT_SUPPORTED;
  return fn(*k->hive);
}

// A transaction step: on another computer's key, that computer's hive.
template <typename Fn>
LONG transactionStep(HKEY key, platform::remote::Session::Step step, Fn&& local) {
  if (auto k = remoteKey(key)) return k->remote->transaction(k->remoteKey, step);
  return withHive(key, std::forward<Fn>(local));
}

}  // namespace

// ---- the Windows entry points ----

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM samDesired, PHKEY result) {
  return openKey(key, textArg(subKey), samDesired, result);
}
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM samDesired, PHKEY result) {
  return openKey(key, textArg(subKey), samDesired, result);
}
LONG RegCreateKeyW(HKEY key, LPCWSTR subKey, PHKEY result) {
  return createKey(key, textArg(subKey), KEY_ALL_ACCESS, result, nullptr);
}
LONG RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
  return createKey(key, textArg(subKey), KEY_ALL_ACCESS, result, nullptr);
}
LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM samDesired, void*, PHKEY result,
                     LPDWORD disposition) {
  return createKey(key, textArg(subKey), samDesired, result, disposition);
}
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM samDesired, void*, PHKEY result,
                     LPDWORD disposition) {
  return createKey(key, textArg(subKey), samDesired, result, disposition);
}

LONG RegCloseKey(HKEY key) {
  if (isRootHandle(key)) return ERROR_SUCCESS;
  const std::shared_ptr<OpenKey> k = handles().take(key);
  if (!k) return ERROR_INVALID_HANDLE;
  // Gone here whatever the far side says; its session ends with its last key.
  return k->remote ? k->remote->closeKey(k->remoteKey) : ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD cbData) {
  if (data != nullptr && cbData == nullptr) return ERROR_INVALID_PARAMETER;
  if (auto k = remoteKey(key)) return queryRemote(*k, textArg(valueName), type, data, cbData, false);
  DWORD storedType = 0;
  std::vector<BYTE> bytes;
  if (LONG e = queryValue(key, textArg(valueName), &storedType, &bytes)) return e;
  if (type != nullptr) *type = storedType;
  return deliverData(bytes, data, cbData);
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD cbData) {
  if (data != nullptr && cbData == nullptr) return ERROR_INVALID_PARAMETER;
  if (auto k = remoteKey(key)) return queryRemote(*k, textArg(valueName), type, data, cbData, true);
  DWORD storedType = 0;
  std::vector<BYTE> bytes;
  if (LONG e = queryValue(key, textArg(valueName), &storedType, &bytes)) return e;
  if (type != nullptr) *type = storedType;
  return deliverData(toAnsiData(storedType, std::move(bytes)), data, cbData);
}

LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD cbData) {
  if (data == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
  std::vector<BYTE> bytes(data, data == nullptr ? data : data + cbData);
  return setValue(key, textArg(valueName), type, std::move(bytes));
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD cbData) {
  if (data == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
  std::vector<BYTE> bytes(data, data == nullptr ? data : data + cbData);
  if (isStringType(type)) {
    std::u16string wide =
        platform::toWide(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    // Callers pass the length of the text without its zero; the value keeps one.
    if (type != REG_MULTI_SZ && (wide.empty() || wide.back() != u'\0')) wide.push_back(u'\0');
    bytes = platform::toUtf16leBytes(wide);
  }
  return setValue(key, textArg(valueName), type, std::move(bytes));
}

LONG RegDeleteValueW(HKEY key, LPCWSTR valueName) { return deleteValue(key, textArg(valueName)); }
LONG RegDeleteValueA(HKEY key, LPCSTR valueName) { return deleteValue(key, textArg(valueName)); }
LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey) { return deleteKey(key, textArg(subKey)); }
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) { return deleteKey(key, textArg(subKey)); }
LONG RegDeleteTreeW(HKEY key, LPCWSTR subKey) { return deleteTree(key, textArg(subKey)); }
LONG RegDeleteTreeA(HKEY key, LPCSTR subKey) { return deleteTree(key, textArg(subKey)); }

LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD cchName, LPDWORD, LPWSTR keyClass,
                   LPDWORD cchClass, void* lastWriteTime) {
  if (name == nullptr || cchName == nullptr) return ERROR_INVALID_PARAMETER;
  std::u16string found;
  if (LONG e = enumKey(key, index, &found)) return e;
  clearClass(keyClass, cchClass);
  clearTime(lastWriteTime);
  return deliverName(found, name, cchName);
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD cchName, LPDWORD, LPSTR keyClass,
                   LPDWORD cchClass, void* lastWriteTime) {
  if (name == nullptr || cchName == nullptr) return ERROR_INVALID_PARAMETER;
  std::u16string found;
  if (LONG e = enumKey(key, index, &found)) return e;
  clearClass(keyClass, cchClass);
  clearTime(lastWriteTime);
  return deliverName(platform::toAnsi(found), name, cchName);
}

LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD cchValueName, LPDWORD, LPDWORD type,
                   LPBYTE data, LPDWORD cbData) {
  return enumValueAs(key, index, valueName, cchValueName, type, data, cbData, false);
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD cchValueName, LPDWORD, LPDWORD type,
                   LPBYTE data, LPDWORD cbData) {
  return enumValueAs(key, index, valueName, cchValueName, type, data, cbData, true);
}

LONG RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD cchClass, LPDWORD, LPDWORD subKeys,
                      LPDWORD maxSubKeyLen, LPDWORD maxClassLen, LPDWORD values, LPDWORD maxValueNameLen,
                      LPDWORD maxValueLen, LPDWORD securityDescriptor, void* lastWriteTime) {
  std::shared_ptr<OpenKey> k;
  if (LONG e = resolve(key, &k)) return e;
  if (k->remote) return ERROR_NOT_SUPPORTED;
  if (!allows(*k, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  platform::hive::KeyInfo info;
  const LONG rc = k->hive->read([&](Session& s) {
    requireKey(s, *k);
    info = s.info(k->id);
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  clearClass(keyClass, cchClass);
  clearTime(lastWriteTime);
  auto put = [](LPDWORD p, DWORD v) {
    if (p != nullptr) *p = v;
  };
  put(subKeys, info.subKeys);
  put(maxSubKeyLen, info.maxSubKeyLen);
  put(maxClassLen, 0);
  put(values, info.values);
  put(maxValueNameLen, info.maxValueNameLen);
  put(maxValueLen, info.maxValueLen);
  put(securityDescriptor, 0);
  return ERROR_SUCCESS;
}

LONG platform::RegReadKeyContents(HKEY key, std::vector<RegValueEntry>* values,
                                  std::vector<std::u16string>* subKeys) {
  return readContents(key, values, subKeys);
}

LONG RegConnectRegistryW(LPCWSTR machineName, HKEY key, PHKEY result) {
  return connectRegistry(textArg(machineName), key, result);
}
LONG RegConnectRegistryA(LPCSTR machineName, HKEY key, PHKEY result) {
  return connectRegistry(textArg(machineName), key, result);
}

using Step = platform::remote::Session::Step;

LONG RegBeginTransaction(HKEY anyKeyOfTheHive) {
  return transactionStep(anyKeyOfTheHive, Step::kBegin, [](Hive& h) { return h.beginTransaction(); });
}
LONG RegBeginReadTransaction(HKEY anyKeyOfTheHive) {
  return withHive(anyKeyOfTheHive, [](Hive& h) { return h.beginTransaction(/*readOnly=*/true); });
}
LONG RegQueryHiveChangeCount(HKEY anyKeyOfTheHive, std::uint64_t* count) {
  if (count == nullptr) return ERROR_INVALID_PARAMETER;
  return withHive(anyKeyOfTheHive, [count](Hive& h) { return h.changeCount(count); });
}
LONG RegCommitTransaction(HKEY anyKeyOfTheHive) {
  return transactionStep(anyKeyOfTheHive, Step::kCommit, [](Hive& h) { return h.commitTransaction(); });
}
LONG RegRollbackTransaction(HKEY anyKeyOfTheHive) {
  return transactionStep(anyKeyOfTheHive, Step::kRollback, [](Hive& h) { return h.rollbackTransaction(); });
}
