// The Linux registry: a SQLite database, <state dir>/registry.db.
//
// Every key is its own row (creating a key creates its ancestors, as the
// Windows registry does); values are rows holding the type and the exact
// bytes Windows would store, so REG_SZ data is UTF-16LE with its NUL. Key
// paths and value names are matched case-insensitively through a folded copy
// kept beside the spelling first used.
//
// Several processes share the file: WAL mode lets readers run beside a
// writer, a busy timeout makes writers queue instead of failing, and every
// change is one IMMEDIATE transaction, so a crash leaves the old or the new
// state. synchronous=NORMAL: a process crash loses nothing committed; a power
// cut can drop the newest commits but never leaves a half-written one.
//
// Each process has one connection, opened on first use and guarded by one
// mutex (registry traffic is light; one connection keeps the locking simple).
// It is reopened when the state dir changes (tests point VANTREL_STATE_DIR
// elsewhere) and abandoned, not closed, in a forked child, which must not use
// a connection it inherited.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/paths.h"
#include "common/registry_backend.h"
#include "common/text.h"
#include "common/win32_errors.h"

namespace vantrel::reg {
namespace {

using namespace vantrel::win32;

// Codes the store can report beyond those of win32_errors.h.
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorRegistryCorrupt = 1015;
constexpr uint32_t kErrorRegistryIoFailed = 1016;
constexpr uint32_t kErrorDatatypeMismatch = 1629;

constexpr int kBusyTimeoutMs = 15000;

uint32_t FromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW: return kErrorSuccess;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN: return kErrorAccessDenied;
    case SQLITE_NOMEM: return kErrorOutOfMemory;
    case SQLITE_FULL: return kErrorDiskFull;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return kErrorRegistryCorrupt;
    default: return kErrorRegistryIoFailed;
  }
}

// A key path as stored: the spelling first used and the folded form that is matched.
struct KeyName {
  std::string display;
  std::string folded;
};

// Windows reads names up to their first NUL.
std::wstring UpToNul(const std::wstring& s) { return s.substr(0, s.find(L'\0')); }

// Splits a subkey into its components. A leading backslash is refused with
// ERROR_BAD_PATHNAME; empty components (a trailing or doubled backslash) are
// dropped, as the Windows registry does. The result lists every ancestor
// first and the key itself last; empty for the root.
uint32_t SplitKey(const std::wstring& subkey, std::vector<KeyName>* chain) {
  const std::wstring path = UpToNul(subkey);
  chain->clear();
  if (!path.empty() && path.front() == L'\\') return kErrorBadPathname;
  std::wstring display;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    if (end > start) {
      if (!display.empty()) display += L'\\';
      display.append(path, start, end - start);
      chain->push_back({text::ToUtf8(display), text::ToUtf8(text::ToLower(display))});
    }
    start = end + 1;
  }
  return kErrorSuccess;
}

uint32_t TypeBit(uint32_t type) {
  switch (type) {
    case kRegNone: return kRrfRtRegNone;
    case kRegSz: return kRrfRtRegSz;
    case kRegExpandSz: return kRrfRtRegExpandSz;
    case kRegBinary: return kRrfRtRegBinary;
    case kRegDword: return kRrfRtRegDword;
    case kRegMultiSz: return kRrfRtRegMultiSz;
    case kRegQword: return kRrfRtRegQword;
    default: return 0;  // other types pass no restriction, not even RRF_RT_ANY
  }
}

bool IsStringType(uint32_t type) { return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz; }

// %NAME% replaced by the environment variable NAME (names as written: Linux
// variables are case-sensitive); unknown names and lone '%' stay as they are.
std::vector<uint8_t> ExpandEnvironment(const std::vector<uint8_t>& utf16) {
  const std::wstring raw = text::FromUtf16LeLenient(utf16);
  std::wstring out;
  size_t i = 0;
  while (i < raw.size()) {
    const size_t open = raw.find(L'%', i);
    if (open == std::wstring::npos) {
      out.append(raw, i, std::wstring::npos);
      break;
    }
    out.append(raw, i, open - i);
    const size_t close = raw.find(L'%', open + 1);
    if (close == std::wstring::npos) {
      out.append(raw, open, std::wstring::npos);
      break;
    }
    const std::wstring name = raw.substr(open + 1, close - open - 1);
    const char* value = name.empty() ? nullptr : std::getenv(text::ToUtf8(name).c_str());
    if (value != nullptr) {
      out += text::FromUtf8(value);
      i = close + 1;
    } else {
      // Keep the first '%' and resume at the second, which may open a name.
      out.append(raw, open, close - open);
      i = close;
    }
  }
  return text::ToUtf16LeZ(out);
}

// String data handed out always ends in a NUL character when it has whole
// UTF-16 units; a value stored without one gets one added.
void EnsureTerminated(std::vector<uint8_t>* data) {
  const size_t n = data->size();
  if (n >= 2 && n % 2 == 0 && ((*data)[n - 2] != 0 || (*data)[n - 1] != 0)) {
    data->push_back(0);
    data->push_back(0);
  }
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return rc_ == SQLITE_OK; }
  int error() const { return rc_; }
  Statement& Int(int i, int64_t v) {
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Statement& Text(int i, const std::string& v) {
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Blob(int i, const void* data, size_t size) {
    // A zero-length blob must not bind as NULL.
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_blob64(stmt_, i, size != 0 ? data : "", size, SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() {
    if (rc_ != SQLITE_OK) return rc_;
    return sqlite3_step(stmt_);
  }
  int64_t ColumnInt(int i) { return sqlite3_column_int64(stmt_, i); }
  std::vector<uint8_t> ColumnBlob(int i) {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, i));
    const int n = sqlite3_column_bytes(stmt_, i);
    return p != nullptr ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_ = SQLITE_OK;
};

uint32_t Exec(sqlite3* db, const char* sql) { return FromSqlite(sqlite3_exec(db, sql, nullptr, nullptr, nullptr)); }

// Runs `body` inside one transaction; commits when it returns success, rolls
// back otherwise. Writers take the write lock up front so two of them queue
// on the busy timeout instead of failing on a lock upgrade.
template <typename Body>
uint32_t InTransaction(sqlite3* db, bool write, Body&& body) {
  uint32_t rc = Exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN");
  if (rc != kErrorSuccess) return rc;
  rc = body();
  if (rc == kErrorSuccess) {
    rc = Exec(db, "COMMIT");
    if (rc == kErrorSuccess) return rc;
  }
  Exec(db, "ROLLBACK");
  return rc;
}

uint32_t StepDone(Statement& st) {
  const int rc = st.Step();
  return rc == SQLITE_DONE ? kErrorSuccess : FromSqlite(rc == SQLITE_ROW ? SQLITE_MISUSE : rc);
}

// Inserts the key and every missing ancestor.
uint32_t EnsureKeys(sqlite3* db, int root, const std::vector<KeyName>& chain) {
  for (const KeyName& k : chain) {
    Statement st(db, "INSERT INTO keys(root, lpath, path) VALUES(?1, ?2, ?3) ON CONFLICT DO NOTHING");
    st.Int(1, root).Text(2, k.folded).Text(3, k.display);
    const uint32_t rc = StepDone(st);
    if (rc != kErrorSuccess) return rc;
  }
  return kErrorSuccess;
}

// 0 when the key exists (the root always does), 2 when not, else a store error.
uint32_t KeyExists(sqlite3* db, int root, const std::vector<KeyName>& chain) {
  if (chain.empty()) return kErrorSuccess;
  Statement st(db, "SELECT 1 FROM keys WHERE root = ?1 AND lpath = ?2");
  st.Int(1, root).Text(2, chain.back().folded);
  const int rc = st.Step();
  if (rc == SQLITE_ROW) return kErrorSuccess;
  if (rc == SQLITE_DONE) return kErrorFileNotFound;
  return FromSqlite(rc);
}

std::string KeyOf(const std::vector<KeyName>& chain) { return chain.empty() ? std::string() : chain.back().folded; }

class SqliteRegistry final : public Registry {
 public:
  uint32_t CreateKey(Root root, const std::wstring& subkey) override {
    std::vector<KeyName> chain;
    if (uint32_t rc = SplitKey(subkey, &chain)) return rc;
    std::lock_guard lock(mu_);
    if (uint32_t rc = Acquire()) return rc;
    if (chain.empty()) return kErrorSuccess;
    return InTransaction(db_, true, [&] { return EnsureKeys(db_, RootId(root), chain); });
  }

  uint32_t OpenKey(Root root, const std::wstring& subkey) override {
    std::vector<KeyName> chain;
    if (uint32_t rc = SplitKey(subkey, &chain)) return rc;
    std::lock_guard lock(mu_);
    if (uint32_t rc = Acquire()) return rc;
    return KeyExists(db_, RootId(root), chain);
  }

  uint32_t GetValue(Root root, const std::wstring& subkey, const std::wstring& value, uint32_t flags,
                    uint32_t* type, void* data, uint32_t* size) override {
    if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
    const uint32_t mask = flags & kRrfRtAny;
    // Asking for REG_EXPAND_SZ as such only makes sense without expansion.
    if ((flags & kRrfRtRegExpandSz) != 0 && (flags & kRrfNoExpand) == 0 && mask != kRrfRtAny) {
      return kErrorInvalidParameter;
    }
    auto fail = [&](uint32_t rc) {
      if (data != nullptr && (flags & kRrfZeroOnFailure) != 0) std::memset(data, 0, *size);
      return rc;
    };

    std::vector<KeyName> chain;
    if (uint32_t rc = SplitKey(subkey, &chain)) return fail(rc);
    uint32_t stored_type = 0;
    std::vector<uint8_t> bytes;
    {
      std::lock_guard lock(mu_);
      if (uint32_t rc = Acquire()) return fail(rc);
      const uint32_t rc = InTransaction(db_, false, [&]() -> uint32_t {
        if (uint32_t k = KeyExists(db_, RootId(root), chain)) return k;
        Statement st(db_, "SELECT type, data FROM vals WHERE root = ?1 AND lpath = ?2 AND lname = ?3");
        st.Int(1, RootId(root)).Text(2, KeyOf(chain)).Text(3, text::ToUtf8(text::ToLower(UpToNul(value))));
        const int step = st.Step();
        if (step == SQLITE_DONE) return kErrorFileNotFound;
        if (step != SQLITE_ROW) return FromSqlite(step);
        stored_type = static_cast<uint32_t>(st.ColumnInt(0));
        bytes = st.ColumnBlob(1);
        return kErrorSuccess;
      });
      if (rc != kErrorSuccess) return fail(rc);
    }

    uint32_t t = stored_type;
    if (t == kRegExpandSz && (flags & kRrfNoExpand) == 0) {
      bytes = ExpandEnvironment(bytes);
      t = kRegSz;
    }
    if (IsStringType(t)) EnsureTerminated(&bytes);
    const uint32_t n = static_cast<uint32_t>(bytes.size());

    uint32_t rc = kErrorSuccess;
    if ((TypeBit(t) & mask) == 0) {
      rc = kErrorUnsupportedType;
    } else if (mask != kRrfRtAny && ((t == kRegDword && n != 4) || (t == kRegQword && n != 8))) {
      // A typed read must never hand out a DWORD or QWORD of another width.
      rc = kErrorDatatypeMismatch;
    } else if (t == kRegBinary && ((mask == (kRrfRtRegBinary | kRrfRtRegDword) && n != 4) ||
                                   (mask == (kRrfRtRegBinary | kRrfRtRegQword) && n != 8))) {
      rc = kErrorDatatypeMismatch;  // RRF_RT_DWORD / RRF_RT_QWORD take binary data of the width only
    } else if (data != nullptr) {
      if (*size < n) {
        rc = kErrorMoreData;
      } else if (n != 0) {
        std::memcpy(data, bytes.data(), n);
      }
    }
    if (rc != kErrorSuccess && data != nullptr && (flags & kRrfZeroOnFailure) != 0) std::memset(data, 0, *size);
    if (type != nullptr) *type = t;
    if (size != nullptr) *size = n;
    return rc;
  }

  uint32_t SetValue(Root root, const std::wstring& subkey, const std::wstring& value, uint32_t type,
                    const void* data, uint32_t size) override {
    if (data == nullptr && size != 0) return kErrorInvalidParameter;
    std::vector<KeyName> chain;
    if (uint32_t rc = SplitKey(subkey, &chain)) return rc;
    const std::wstring name = UpToNul(value);
    std::lock_guard lock(mu_);
    if (uint32_t rc = Acquire()) return rc;
    return InTransaction(db_, true, [&]() -> uint32_t {
      if (uint32_t rc = EnsureKeys(db_, RootId(root), chain)) return rc;
      Statement st(db_,
                   "INSERT INTO vals(root, lpath, lname, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5, ?6) "
                   "ON CONFLICT(root, lpath, lname) DO UPDATE SET type = excluded.type, data = excluded.data");
      st.Int(1, RootId(root))
          .Text(2, KeyOf(chain))
          .Text(3, text::ToUtf8(text::ToLower(name)))
          .Text(4, text::ToUtf8(name))
          .Int(5, type)
          .Blob(6, data, size);
      return StepDone(st);
    });
  }

  uint32_t DeleteValue(Root root, const std::wstring& subkey, const std::wstring& value) override {
    std::vector<KeyName> chain;
    if (uint32_t rc = SplitKey(subkey, &chain)) return rc;
    std::lock_guard lock(mu_);
    if (uint32_t rc = Acquire()) return rc;
    return InTransaction(db_, true, [&]() -> uint32_t {
      if (uint32_t rc = KeyExists(db_, RootId(root), chain)) return rc;
      Statement st(db_, "DELETE FROM vals WHERE root = ?1 AND lpath = ?2 AND lname = ?3");
      st.Int(1, RootId(root)).Text(2, KeyOf(chain)).Text(3, text::ToUtf8(text::ToLower(UpToNul(value))));
      if (uint32_t rc = StepDone(st)) return rc;
      return sqlite3_changes(db_) > 0 ? kErrorSuccess : kErrorFileNotFound;
    });
  }

  uint32_t DeleteTree(Root root, const std::wstring& subkey) override {
    std::vector<KeyName> chain;
    if (uint32_t rc = SplitKey(subkey, &chain)) return rc;
    std::lock_guard lock(mu_);
    if (uint32_t rc = Acquire()) return rc;
    return InTransaction(db_, true, [&]() -> uint32_t {
      if (uint32_t rc = KeyExists(db_, RootId(root), chain)) return rc;
      if (chain.empty()) {
        // The root itself stays; its values and subkeys go.
        for (const char* sql : {"DELETE FROM vals WHERE root = ?1", "DELETE FROM keys WHERE root = ?1"}) {
          Statement st(db_, sql);
          st.Int(1, RootId(root));
          if (uint32_t rc = StepDone(st)) return rc;
        }
        return kErrorSuccess;
      }
      // Descendants of "a\b" are exactly the paths in ["a\b\", "a\b]"):
      // ']' follows '\' in byte order, so the range is one index scan.
      const std::string key = KeyOf(chain);
      for (const char* sql : {"DELETE FROM vals WHERE root = ?1 AND (lpath = ?2 OR (lpath >= ?3 AND lpath < ?4))",
                              "DELETE FROM keys WHERE root = ?1 AND (lpath = ?2 OR (lpath >= ?3 AND lpath < ?4))"}) {
        Statement st(db_, sql);
        st.Int(1, RootId(root)).Text(2, key).Text(3, key + "\\").Text(4, key + "]");
        if (uint32_t rc = StepDone(st)) return rc;
      }
      return kErrorSuccess;
    });
  }

 private:
  static int RootId(Root root) { return static_cast<int>(root); }

  // Opens (or reopens) the store for the current state dir. Caller holds mu_.
  uint32_t Acquire() {
    const pid_t pid = getpid();
    if (db_ != nullptr && pid != pid_) db_ = nullptr;  // inherited over fork(): leave the parent's alone
    const std::string dir = paths::StateDir();
    const std::string path = dir + "/registry.db";
    if (db_ != nullptr && path == path_) return kErrorSuccess;
    if (db_ != nullptr) {
      sqlite3_close(db_);
      db_ = nullptr;
    }
    if (!paths::MakeDirs(text::FromUtf8(dir))) return kErrorAccessDenied;
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_close(db);
      return FromSqlite(rc);
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // A store this account may only read (another account's) is used as it
    // is: reads work, writes report ERROR_ACCESS_DENIED.
    const bool read_only = sqlite3_db_readonly(db, "main") == 1;
    uint32_t err = read_only ? kErrorSuccess : Exec(db, "PRAGMA journal_mode=WAL");
    if (err == kErrorSuccess) err = Exec(db, "PRAGMA synchronous=NORMAL");
    if (err == kErrorSuccess && !read_only) {
      err = InTransaction(db, true, [db] {
        return Exec(db,
                    "CREATE TABLE IF NOT EXISTS keys("
                    " root INTEGER NOT NULL, lpath TEXT NOT NULL, path TEXT NOT NULL,"
                    " PRIMARY KEY(root, lpath)) WITHOUT ROWID;"
                    "CREATE TABLE IF NOT EXISTS vals("
                    " root INTEGER NOT NULL, lpath TEXT NOT NULL, lname TEXT NOT NULL, name TEXT NOT NULL,"
                    " type INTEGER NOT NULL, data BLOB NOT NULL,"
                    " PRIMARY KEY(root, lpath, lname)) WITHOUT ROWID;");
      });
    }
    if (err != kErrorSuccess) {
      sqlite3_close(db);
      return err;
    }
    db_ = db;
    path_ = path;
    pid_ = pid;
    return kErrorSuccess;
  }

  std::mutex mu_;
  sqlite3* db_ = nullptr;
  std::string path_;
  pid_t pid_ = 0;
};

}  // namespace

namespace detail {
Registry& NativeRegistry() {
  // Never destroyed: other threads may still use the registry during exit.
  static auto* registry = new SqliteRegistry();
  return *registry;
}
}  // namespace detail

}  // namespace vantrel::reg
