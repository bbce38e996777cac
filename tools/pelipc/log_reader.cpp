// pelipc log: the library's log files for whoever reads them after the fact.
// Lists the folder, or prints the records of one day's files that pass the
// filters, and with --follow keeps printing what the library appends.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <optional>
#include <regex>
#include <tuple>

#include "log/week_rolling_file_appender.h"
#include "util.h"

namespace pel::pelipc {

namespace {

constexpr DWORD kPollMs = 250;

struct LogFile {
  std::string name, prefix, date;  // date as YYYYMMDD
  // The prefix up to its first '-', as the library's clean-up groups files.
  std::string family;
  uint64_t size = 0;
};

// prefix + YYYYMMDDWW + ".log"; false for any other name.
bool SplitName(const std::string& name, LogFile* file) {
  static const std::regex kName("(.*)([0-9]{8})[0-9]{2}\\.log");
  std::smatch part;
  if (!std::regex_match(name, part, kName)) return false;
  file->name = name;
  file->prefix = part[1];
  file->date = part[2];
  file->family = file->prefix.substr(0, file->prefix.find('-'));
  return true;
}

// The folder's log files by family, day and name.
std::vector<LogFile> ListFiles(const std::string& dir) {
  std::vector<LogFile> files;
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((dir + "\\*.log").c_str(), &entry);
  for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &entry)) {
    LogFile file;
    file.size = (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        SplitName(entry.cFileName, &file)) {
      files.push_back(file);
    }
  }
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  std::sort(files.begin(), files.end(), [](const LogFile& a, const LogFile& b) {
    return std::tie(a.family, a.date, a.name) < std::tie(b.family, b.date, b.name);
  });
  return files;
}

int List(const std::string& dir) {
  const std::vector<LogFile> files = ListFiles(dir);
  if (files.empty()) return Failed(kExitFailed, "pelipc: no log files in %s\n", dir.c_str());
  Out("%s\n", dir.c_str());
  std::string family = "-", date;
  uint64_t total = 0;
  for (const LogFile& file : files) {
    if (file.family != family) {
      family = file.family;
      Out("%s\n", family.empty() ? "(no prefix)" : family.c_str());
      date.clear();
    }
    const std::string day =
        file.date.substr(0, 4) + "-" + file.date.substr(4, 2) + "-" + file.date.substr(6, 2);
    Out("  %-10s  %-40s %12s\n", file.date == date ? "" : day.c_str(), file.name.c_str(),
        Grouped(file.size).c_str());
    date = file.date;
    total += file.size;
  }
  Out("%zu file%s, %s bytes\n", files.size(), files.size() == 1 ? "" : "s", Grouped(total).c_str());
  return kExitOk;
}

// "YYYY-MM-DD HH:MM:SS.mmm SEV   [tid] [Function@line] message".
struct Head {
  int minutes = 0;
  int rank = 0;
  std::string function;
  const char* message = nullptr;
};

// None for a line that continues the record before it.
std::optional<Head> ParseHead(const std::string& record) {
  int hour = 0, minute = 0, at = 0;
  char severity[8] = {0};
  if (std::sscanf(record.c_str(), "%*4d-%*2d-%*2d %2d:%2d:%*2d.%*3d %7s [%*u] [%n", &hour, &minute,
                  severity, &at) != 3 ||
      at == 0) {
    return std::nullopt;
  }
  const size_t close = record.find("] ", at);
  if (close == std::string::npos || record.find('\n', at) < close) return std::nullopt;
  const size_t sign = record.rfind('@', close);
  if (sign == std::string::npos || sign < static_cast<size_t>(at)) return std::nullopt;
  const std::string name = severity;
  const int rank = name == "FATAL" ? 1 : name == "ERROR" ? 2 : name == "WARN" ? 3 : 4;
  return Head{hour * 60 + minute, rank, record.substr(at, sign - at), record.c_str() + close + 2};
}

struct Filters {
  int sinceMinutes = 0;
  int maxRank = 4;  // 1 FATAL, 2 ERROR, 3 WARN, 4 anything else
  std::string function;
  // Connection[ID], client[ID], conn[ID], id[ID] and the same with ':' (as in
  // conn_id:ID), case ignored: every way the library's records name an id.
  std::optional<std::regex> conn;

  bool Pass(const std::string& record) const {
    const std::optional<Head> head = ParseHead(record);
    // Lines before a file's first record pass only when nothing filters.
    if (!head) return sinceMinutes == 0 && maxRank == 4 && function.empty() && !conn;
    // FUNC alone also matches CLASS::FUNC.
    const std::string have = "::" + head->function, want = "::" + function;
    const bool functionOk =
        function.empty() || (have.size() >= want.size() &&
                             have.compare(have.size() - want.size(), want.size(), want) == 0);
    return head->minutes >= sinceMinutes && head->rank <= maxRank && functionOk &&
           (!conn || std::regex_search(head->message, *conn));
  }
};

// The files of one day that a selection names, and every file it has read
// so far with how far (up to its last whole line).
class Reader {
 public:
  std::string dir, prefix, day;
  bool exactPrefix = false;  // a FILE was named: its own prefix only
  Filters filters;
  std::map<std::string, uint64_t> offsets;

  // Prints what is new; with follow, moves on to a later day's files once
  // one exists (the library opens the next day's file at its first record
  // after midnight). Returns how many files were read.
  size_t Poll(bool follow) {
    for (;;) {
      std::string next;
      for (const LogFile& file : ListFiles(dir)) {
        if (exactPrefix ? file.prefix != prefix : file.prefix.rfind(prefix, 0) != 0) continue;
        if (file.date == day) offsets.emplace(file.name, 0);
        if (follow && file.date > day && (next.empty() || file.date < next)) next = file.date;
      }
      for (auto& entry : offsets) Drain(entry.first, &entry.second);
      if (next.empty()) return offsets.size();
      day = next;
    }
  }

 private:
  void Drain(const std::string& name, uint64_t* offset) {
    // Shared every way: the library appends and deletes while this reads.
    HANDLE file = CreateFileA((dir + "\\" + name).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER size{};
    std::string bytes;
    if (GetFileSizeEx(file, &size)) {
      // Shorter than what was read: restarted at the size limit, or deleted and created again.
      if (static_cast<uint64_t>(size.QuadPart) < *offset) *offset = 0;
      bytes.resize(static_cast<size_t>(size.QuadPart - *offset));
      OVERLAPPED from{};
      from.Offset = static_cast<DWORD>(*offset);
      from.OffsetHigh = static_cast<DWORD>(*offset >> 32);
      DWORD got = 0;
      if (!ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, &from)) got = 0;
      bytes.resize(got);
    }
    CloseHandle(file);
    // A line still being written waits for the next look.
    bytes.resize(bytes.rfind('\n') + 1);
    *offset += bytes.size();
    // The library writes a record whole, so a record ends where the bytes do.
    std::string record;
    for (size_t start = 0; start < bytes.size();) {
      const size_t end = bytes.find('\n', start) + 1;
      // The line alone: the runtime's scanf measures all the text it is given.
      if (!record.empty() && ParseHead(bytes.substr(start, end - start))) {
        Emit(name, record);
        record.clear();
      }
      record.append(bytes, start, end - start);
      start = end;
    }
    if (!record.empty()) Emit(name, record);
  }

  void Emit(const std::string& name, const std::string& record) {
    if (!filters.Pass(record)) return;
    if (name != m_last) Out("==> %s <==\n", name.c_str());
    m_last = name;
    Out("%s", record.c_str());
  }

  std::string m_last;  // the file the last record printed came from
};

}  // namespace

int LogMain(const std::vector<std::string>& args) {
  Reader reader;
  std::string dir;
  bool follow = false;
  uint64_t conn = UINT64_MAX;  // none
  const std::vector<Flag> flags = {
      Text("--dir", &dir),
      Text("--prefix", &reader.prefix),
      {"--day", true,
       [&](const std::string& v) {
         reader.day = v;
         return std::regex_match(v, std::regex("[0-9]{8}"));
       }},
      {"--since", true,
       [&](const std::string& v) {
         const bool ok = std::regex_match(v, std::regex("([01][0-9]|2[0-3]):[0-5][0-9]"));
         reader.filters.sinceMinutes = ok ? std::stoi(v) * 60 + std::stoi(v.substr(3)) : 0;
         return ok;
       }},
      {"--level", true,
       [&](const std::string& v) {
         reader.filters.maxRank = v == "error" ? 2 : v == "warn" ? 3 : v == "info" ? 4 : 0;
         return reader.filters.maxRank != 0;
       }},
      Text("--function", &reader.filters.function),
      Number("--conn", &conn, 0, UINT32_MAX),
      Switch("--follow", [&] { follow = true; }),
  };
  std::vector<std::string> positional;
  if (!ParseFlags(args, flags, &positional) || positional.size() > 1) return kExitUsage;
  if (conn != UINT64_MAX) {
    const std::string id = std::to_string(conn);
    reader.filters.conn.emplace(
        "(^|[^a-z])(connection|conn|client|id)(\\[" + id + "\\]|:" + id + "(?![0-9]))",
        std::regex::icase);
  }
  const bool listing = positional.empty() && args.size() == (dir.empty() ? 0u : 2u);
  std::string name = positional.empty() ? std::string() : positional[0];
  const size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) {
    dir = name.substr(0, slash);
    name = name.substr(slash + 1);
  }
  reader.dir = dir.empty() ? LibraryLogFolder() : dir;
  if (!IsFolder(reader.dir)) {
    Err("pelipc: the log folder %s does not exist. The library never creates it and writes\n"
        "no log until it exists; create it with\n  mkdir \"%s\"\n",
        reader.dir.c_str(), reader.dir.c_str());
    return kExitFailed;
  }
  if (listing) return List(reader.dir);
  // Today as the library names its files.
  if (reader.day.empty()) reader.day = pel::log::DayFileName("", std::time(nullptr)).substr(0, 8);
  if (!name.empty() &&
      GetFileAttributesA((reader.dir + "\\" + name).c_str()) == INVALID_FILE_ATTRIBUTES) {
    return Failed(kExitFailed, "pelipc: no file %s in %s\n", name.c_str(), reader.dir.c_str());
  }
  LogFile file;
  reader.exactPrefix = !name.empty();
  if (SplitName(name, &file)) {
    reader.prefix = file.prefix;
    reader.day = file.date;
  } else if (!name.empty()) {
    // Any other name is read as it is, a copy renamed for instance.
    reader.offsets.emplace(name, 0);
    reader.prefix = name;
  }
  if (reader.Poll(follow) == 0 && !follow) {
    return Failed(kExitFailed, "pelipc: no log file of %s%s in %s\n", reader.day.c_str(),
                  reader.prefix.empty() ? "" : (" starting with " + reader.prefix).c_str(),
                  reader.dir.c_str());
  }
  // Until Ctrl+C: the library leaves no other sign of a new record.
  while (follow) {
    Sleep(kPollMs);
    reader.Poll(true);
  }
  return kExitOk;
}

}  // namespace pel::pelipc
