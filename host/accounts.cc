#include "host/accounts.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>

#include "host/host_log.h"

namespace host {

namespace {

std::vector<std::string> Split(const std::string& line, char sep) {
  std::vector<std::string> fields;
  std::string::size_type start = 0;
  while (true) {
    const std::string::size_type end = line.find(sep, start);
    fields.push_back(line.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return fields;
}

// Reads the file's lines. False when it cannot be opened (errno kept).
bool ReadLines(const std::string& path, std::vector<std::string>* lines) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) lines->push_back(line);
  return true;
}

// Replaces the file whole: readers see the old or the new content.
bool WriteLines(const std::string& path, const std::vector<std::string>& lines, mode_t mode) {
  std::string content;
  for (const std::string& line : lines) content += line + "\n";
  const std::string tmp = path + ".kivo-tmp";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    HOST_LOG("cannot create %s: %s", tmp.c_str(), strerror(errno));
    return false;
  }
  bool ok = fchmod(fd, mode) == 0;
  size_t done = 0;
  while (ok && done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    if (n > 0) done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    HOST_LOG("cannot write %s: %s", path.c_str(), strerror(errno));
    unlink(tmp.c_str());
  }
  return ok;
}

mode_t ModeOr(const std::string& path, mode_t fallback) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return fallback;
  return st.st_mode & 07777;
}

bool FirstFieldIs(const std::string& line, const std::string& name) {
  return line.size() > name.size() && line.compare(0, name.size(), name) == 0 &&
         line[name.size()] == ':';
}

std::string ShadowLine(const std::string& name, const std::string& hash) {
  const long days = static_cast<long>(time(nullptr) / 86400);
  return name + ":" + hash + ":" + std::to_string(days) + ":0:99999:7:::";
}

}  // namespace

bool IsSystemRoot(const std::string& root) {
  return root.find_first_not_of('/') == std::string::npos;
}

std::string InRoot(const std::string& root, const std::string& system_path) {
  std::string base = root;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base + system_path;
}

bool IsValidUserName(const std::string& name) {
  if (name.empty() || name.size() > 32) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool lower = (c >= 'a' && c <= 'z') || c == '_';
    const bool tail = (c >= '0' && c <= '9') || c == '.' || c == '-';
    if (!lower && !(i > 0 && tail)) return false;
  }
  return true;
}

bool LookupAccount(const std::string& root, const std::string& name, Account* account) {
  std::vector<std::string> lines;
  if (!ReadLines(InRoot(root, "/etc/passwd"), &lines)) return false;
  for (const std::string& line : lines) {
    if (!FirstFieldIs(line, name)) continue;
    const std::vector<std::string> f = Split(line, ':');
    if (f.size() < 7) return false;
    account->name = f[0];
    account->uid = static_cast<uid_t>(std::strtoul(f[2].c_str(), nullptr, 10));
    account->gid = static_cast<gid_t>(std::strtoul(f[3].c_str(), nullptr, 10));
    account->home = f[5];
    return true;
  }
  return false;
}

bool IsAdministrator(const std::string& root, const std::string& name) {
  Account account;
  const bool known = LookupAccount(root, name, &account);
  std::vector<std::string> lines;
  if (!ReadLines(InRoot(root, "/etc/group"), &lines)) return false;
  for (const std::string& line : lines) {
    if (!FirstFieldIs(line, kAdministratorsGroup)) continue;
    const std::vector<std::string> f = Split(line, ':');
    if (f.size() < 4) return false;
    if (known && std::to_string(account.gid) == f[2]) return true;
    for (const std::string& member : Split(f[3], ',')) {
      if (member == name) return true;
    }
    return false;
  }
  return false;
}

std::vector<uid_t> UsedUids(const std::string& root) {
  std::vector<uid_t> uids;
  std::vector<std::string> lines;
  if (!ReadLines(InRoot(root, "/etc/passwd"), &lines)) return uids;
  for (const std::string& line : lines) {
    const std::vector<std::string> f = Split(line, ':');
    if (f.size() >= 3) uids.push_back(static_cast<uid_t>(std::strtoul(f[2].c_str(), nullptr, 10)));
  }
  return uids;
}

bool EnsureEntry(const std::string& path, const std::string& name, const std::string& line,
                 mode_t mode, bool* added) {
  *added = false;
  std::vector<std::string> lines;
  if (!ReadLines(path, &lines) && errno != ENOENT) {
    HOST_LOG("cannot read %s: %s", path.c_str(), strerror(errno));
    return false;
  }
  for (const std::string& existing : lines) {
    if (FirstFieldIs(existing, name)) return true;
  }
  lines.push_back(line);
  if (!WriteLines(path, lines, ModeOr(path, mode))) return false;
  *added = true;
  return true;
}

bool AddGroupMember(const std::string& root, const std::string& group, const std::string& member) {
  const std::string path = InRoot(root, "/etc/group");
  std::vector<std::string> lines;
  if (!ReadLines(path, &lines)) {
    HOST_LOG("cannot read %s: %s", path.c_str(), strerror(errno));
    return false;
  }
  for (std::string& line : lines) {
    if (!FirstFieldIs(line, group)) continue;
    std::vector<std::string> f = Split(line, ':');
    while (f.size() < 4) f.push_back("");
    std::vector<std::string> members;
    if (!f[3].empty()) members = Split(f[3], ',');
    for (const std::string& m : members) {
      if (m == member) return true;
    }
    f[3] += (f[3].empty() ? "" : ",") + member;
    line = f[0] + ":" + f[1] + ":" + f[2] + ":" + f[3];
    return WriteLines(path, lines, ModeOr(path, 0644));
  }
  HOST_LOG("no group %s in %s", group.c_str(), path.c_str());
  return false;
}

std::string HashPassword(const std::string& password) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  // A null random source makes libcrypt draw the salt from the kernel.
  if (crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof(setting)) == nullptr) {
    HOST_LOG("crypt_gensalt_rn failed: %s", strerror(errno));
    return "";
  }
  auto data = std::make_unique<crypt_data>();
  const char* hash = crypt_r(password.c_str(), setting, data.get());
  if (hash == nullptr || hash[0] == '*') {
    HOST_LOG("crypt_r failed: %s", strerror(errno));
    return "";
  }
  return hash;
}

bool SetPassword(const std::string& root, const std::string& name, const std::string& password) {
  const std::string hash = HashPassword(password);
  if (hash.empty()) return false;
  const std::string path = InRoot(root, "/etc/shadow");
  std::vector<std::string> lines;
  if (!ReadLines(path, &lines) && errno != ENOENT) {
    HOST_LOG("cannot read %s: %s", path.c_str(), strerror(errno));
    return false;
  }
  bool replaced = false;
  for (std::string& line : lines) {
    if (!FirstFieldIs(line, name)) continue;
    std::vector<std::string> f = Split(line, ':');
    while (f.size() < 9) f.push_back("");
    f[1] = hash;
    f[2] = std::to_string(static_cast<long>(time(nullptr) / 86400));
    line = f[0];
    for (size_t i = 1; i < f.size(); ++i) line += ":" + f[i];
    replaced = true;
  }
  if (!replaced) lines.push_back(ShadowLine(name, hash));
  return WriteLines(path, lines, 0600);
}

bool ReadPasswordHash(const std::string& root, const std::string& name, std::string* hash) {
  std::vector<std::string> lines;
  if (!ReadLines(InRoot(root, "/etc/shadow"), &lines)) return false;
  for (const std::string& line : lines) {
    if (!FirstFieldIs(line, name)) continue;
    const std::vector<std::string> f = Split(line, ':');
    if (f.size() < 2) return false;
    *hash = f[1];
    return true;
  }
  return false;
}

bool CheckPassword(const std::string& password, const std::string& hash) {
  auto data = std::make_unique<crypt_data>();
  const char* computed = crypt_r(password.c_str(), hash.c_str(), data.get());
  if (hash.empty() || hash[0] == '!' || hash[0] == '*' || computed == nullptr) return false;
  const size_t n = std::strlen(computed);
  if (n != hash.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(computed[i] ^ hash[i]);
  return diff == 0;
}

std::string RandomPassword(size_t length) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";
  std::string bytes(length, '\0');
  size_t got = 0;
  while (got < length) {
    const ssize_t n = getrandom(&bytes[got], length - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return "";
    got += static_cast<size_t>(n);
  }
  // 64 symbols: every byte value maps to one with equal weight.
  std::string out;
  for (char b : bytes) out += kAlphabet[static_cast<unsigned char>(b) & 63];
  return out;
}

}  // namespace host
