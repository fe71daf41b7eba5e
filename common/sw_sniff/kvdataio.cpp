// Flat row list, the decode steps between the three views of a capture, and sample files.
#include "kvdataio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <new>

#include "kvmemory.h"
#include "kvrawevt.h"
#include "kvrawgrp.h"
#include "kvrowpool.h"
#include "kvrowutils.h"

namespace {

/// Largest piece handed to one gzwrite call: its length is an unsigned int and must stay
/// below 2^31.
constexpr size_t GZ_WRITE_PIECE = size_t{1} << 30;
/// A raw stream file must be smaller than this.
constexpr uint64_t MAX_RAW_FILE = uint64_t{1} << 32;
/// Room reserved once for a line of a sample file.
constexpr size_t LINE_RESERVE = 1024;

/// Character reader over a gz file that tells the end of the data from a read error. zlib keeps
/// failing after a data error without ever reporting the end of the data, so every read that
/// gives no character settles which of the two it was, and the reader stays there. Characters
/// are taken one at a time (gzgetc): a read error then costs only what zlib itself withholds
/// from the failing step, never characters it has already handed out.
class TgzReader {
 public:
  enum Tstatus { MORE, END, FAIL };

  explicit TgzReader(gzFile f) : file(f) {}

  /// The next byte (0..255), or -1 once the data has ended or failed.
  int getChar() {
    if (status != MORE) return -1;
    const int c = gzgetc(file);
    if (c < 0)
      settle();
    else
      ++consumed;
    return c;
  }

  /// Bytes read so far, those of dropped line ends included.
  uint64_t bytesRead() const { return consumed; }

  /// Collects the bytes up to the next newline (not stored) into line, at most maxLength of
  /// them: the rest of a longer line is read past and dropped, and tooLong tells. MORE: a newline
  /// ended the line. END: the data ended (the line holds what came before). FAIL: a read error.
  Tstatus getLine(std::string& line, size_t maxLength, bool& tooLong) {
    line.clear();
    tooLong = false;
    for (;;) {
      const int c = getChar();
      if (c == '\n') return MORE;
      if (c < 0) return status;
      if (line.size() < maxLength)
        line.push_back(static_cast<char>(c));
      else
        tooLong = true;
    }
  }

 private:
  void settle() {
    int err = Z_OK;
    gzerror(file, &err);
    // A stream cut short ends like a plain end of data but leaves Z_BUF_ERROR behind.
    status = (err == Z_OK || err == Z_STREAM_END) ? END : FAIL;
  }

  gzFile file;
  Tstatus status = MORE;
  uint64_t consumed = 0;
};

/// Opens a sample file for reading, or null. Only a regular file is read: a FIFO or a device
/// could block the reader for ever or never end. The open itself does not block (a FIFO
/// without a writer would hold it).
gzFile openRegularFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  gzFile file = nullptr;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && fcntl(fd, F_SETFL, 0) == 0) file = gzdopen(fd, "rb");
  if (!file) close(fd);
  return file;
}

/// Closes a gz file on every return path.
struct TgzCloser {
  gzFile file;
  ~TgzCloser() {
    if (file) gzclose(file);
  }
};

/// The target of a save: a temporary file beside it that is renamed over it only after a clean
/// close, so a save that fails (a full disk, a file size limit, no memory) leaves an earlier file
/// as it was and leaves no temporary file behind. A target that exists and is not a regular file
/// (a device, a pipe) has no earlier content to keep and is written directly.
class TsafeFile {
 public:
  explicit TsafeFile(const std::string& path) : target(resolve(path)) {
    struct stat st {};
    const bool exists = stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
      file = gzopen64(target.c_str(), "wb");
      return;
    }
    static std::atomic<unsigned> serial{0};
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < MAX_ATTEMPTS; ++attempt) {
      temp = target + ".tmp" + std::to_string(getpid()) + "." + std::to_string(serial++);
      // Mode 0666 less the umask, as a file made by gzopen gets; an earlier file's mode below.
      fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
      temp.clear();
      return;
    }
    if (exists) (void)fchmod(fd, st.st_mode & 07777);
    syncFd = dup(fd);
    file = syncFd >= 0 ? gzdopen(fd, "wb") : nullptr;
    if (!file) close(fd);
  }

  ~TsafeFile() {
    if (file) gzclose(file);
    if (syncFd >= 0) close(syncFd);
    if (!temp.empty()) unlink(temp.c_str());
  }

  TsafeFile(const TsafeFile&) = delete;
  TsafeFile& operator=(const TsafeFile&) = delete;

  /// The open file; null when it could not be created.
  gzFile handle() const { return file; }

  /// Closes the file and puts it in place of the target. False when any step fails; the
  /// temporary file is then removed and the target stays as it was.
  bool commit() {
    const bool closed = gzclose(file) == Z_OK;
    file = nullptr;
    if (temp.empty()) return closed;
    // On disk before the rename, so that a crash cannot leave an empty file in place of both.
    const bool synced = closed && fsync(syncFd) == 0;
    const bool released = close(syncFd) == 0;
    syncFd = -1;
    if (!synced || !released || rename(temp.c_str(), target.c_str()) != 0) return false;
    temp.clear();
    return true;
  }

 private:
  static constexpr int MAX_ATTEMPTS = 100;

  // A symbolic link is followed, so that the file it names is replaced and not the link.
  static std::string resolve(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string out(real);
    std::free(real);
    return out;
  }

  std::string target;
  std::string temp;  ///< the temporary file while it exists
  gzFile file = nullptr;
  int syncFd = -1;  ///< a second descriptor of the temporary file, for fsync after gzclose
};

bool isGroupKind(int kind) {
  return kind == ROW_SOFGROUP || kind == ROW_TRANSAX || kind == ROW_TRANSFER;
}

/// The number of rows that flattening the trees appends (at most INT_MAX), so the flat list is
/// allocated once: the rows of the kinds that treeRow2Linear appends, descending into the same
/// groups.
size_t flatCount(const TrowVec& rows) {
  size_t n = 0;
  for (const auto& row : rows) {
    if (!row || row->kind < ROW_RESET || row->kind > ROW_TRANSFER) continue;
    ++n;
    if (isGroupKind(row->kind)) n += flatCount(static_cast<const Tgrouper&>(*row).children);
    if (n >= static_cast<size_t>(INT_MAX)) return static_cast<size_t>(INT_MAX);
  }
  return n;
}

/// Memory of a row of each kind (indexed by kind) in the row pool, without what every row adds.
constexpr uint64_t ROW_SIZE[] = {sizeof(Treset),     sizeof(Tsof),      sizeof(Ttoken),   sizeof(Tdata),
                                 sizeof(Thandshake), sizeof(TsofGroup), sizeof(Ttransax), sizeof(Ttransfer)};
constexpr uint64_t LARGEST_ROW = *std::max_element(std::begin(ROW_SIZE), std::end(ROW_SIZE));
/// A row's shared-pointer control block in the row pool, with alignment and the sanitizer's
/// red zone.
constexpr uint64_t POOL_BLOCK = 40;
/// What every row of a load adds at most: its block in the pool, its entry in its parent's list
/// with the slack of a doubling vector, and its entry in the flat list.
constexpr uint64_t ROW_OVERHEAD = POOL_BLOCK + 2 * sizeof(TrowPtr) + sizeof(TlinRow);
/// The heap's own cost of a data packet's byte vector.
constexpr uint64_t MALLOC_OVERHEAD = 16;
/// Bytes of text per byte of memory that a written row line has at most: a data packet writes
/// each payload byte as two digits and a comma; every other line is shorter than its row.
constexpr uint64_t TEXT_PER_MEMORY = 3;
/// The memory of a load is checked against what the system can give after this many rows, or
/// this much memory, since the last check.
constexpr uint64_t CHECK_ROWS = 16384;
constexpr uint64_t CHECK_BYTES = uint64_t{16} << 20;
/// What a load may take between two checks: the rows and bytes above, one chunk of the row
/// pool and the longest line.
constexpr uint64_t GROWTH_ALLOWANCE = CHECK_ROWS * (LARGEST_ROW + ROW_OVERHEAD) + CHECK_BYTES +
                                       TrowArena::MAX_CHUNK + TdataIO::MAX_LINE_LENGTH;

/// The longest row line the writer makes for a row without payload bytes (a token at depth 2
/// with every number at its widest).
constexpr uint64_t LONGEST_PLAIN_LINE = 96;
static_assert(*std::min_element(std::begin(ROW_SIZE), std::end(ROW_SIZE)) + ROW_OVERHEAD >= LONGEST_PLAIN_LINE,
              "only payload bytes make a line longer than its row's memory");
/// An estimate at least this large cannot fit anywhere; larger ones are cut to it.
constexpr double HOPELESS = 9e18;

/// x times f, cut to HOPELESS.
uint64_t scaled(uint64_t x, double f) {
  const double v = static_cast<double>(x) * f;
  return v >= HOPELESS ? static_cast<uint64_t>(HOPELESS) : static_cast<uint64_t>(v);
}

/// Keeps a sample-file load within the memory that the system can give, without a pass of its
/// own over the file. The need is estimated from the body length that the file declares (its
/// length line): before the first row with the least that body can cost (a third of its
/// length), then, as rows come, with the memory per byte of text seen so far. The declared
/// length is only a hint: rows beyond it are checked all the same against what is still free,
/// so a file that understates it is stopped before memory runs out rather than after.
class TloadMemory {
 public:
  explicit TloadMemory(uint64_t declaredText) : declared(declaredText) {}

  /// Before any row: false when even the cheapest body of the declared length cannot fit. A
  /// body smaller than one check step is left to the checks (small loads never ask).
  bool fitsAtStart() const {
    const uint64_t least = declared / TEXT_PER_MEMORY;
    return least < CHECK_BYTES || utils::memoryFits(least);
  }

  /// Counts a row of rowBytes of memory (0 for a line that gave none); textRead: the bytes read
  /// so far. Every CHECK_ROWS rows or CHECK_BYTES of memory: false when the rest of the load
  /// would not fit. lists: the reader's open lists, which may double before the next check.
  bool add(uint64_t rowBytes, uint64_t textRead, const std::vector<TrowVec*>& lists) {
    if (rowBytes > 0) ++rows;
    committed += rowBytes;
    if (rows - rowsChecked < CHECK_ROWS && committed - bytesChecked < CHECK_BYTES) return true;
    rowsChecked = rows;
    bytesChecked = committed;
    uint64_t need = GROWTH_ALLOWANCE + remainingText(textRead) + flatListBytes();
    for (const TrowVec* list : lists) {
      // A doubling allocates twice the list beside the list.
      if (list && list->size() + CHECK_ROWS > list->capacity()) need += 2 * list->capacity() * sizeof(TrowPtr);
    }
    return utils::memoryFits(need);
  }

  /// Before the flat list is made: false when it does not fit (asked from CHECK_ROWS rows on).
  bool flatListFits() const { return rows < CHECK_ROWS || utils::memoryFits(flatListBytes()); }

 private:
  uint64_t flatListBytes() const { return rows * sizeof(TlinRow); }

  /// The memory that the declared text not read yet will take, at the cost per byte of the
  /// text so far (at least the least that a row line can cost).
  uint64_t remainingText(uint64_t textRead) const {
    if (declared <= textRead) return 0;
    const double seen = textRead > 0 ? static_cast<double>(committed) / static_cast<double>(textRead) : 0.0;
    const double perByte = std::max(seen, 1.0 / static_cast<double>(TEXT_PER_MEMORY));
    return scaled(declared - textRead, perByte);
  }

  const uint64_t declared;
  uint64_t rows = 0;
  uint64_t committed = 0;
  uint64_t rowsChecked = 0;
  uint64_t bytesChecked = 0;
};

/// The memory that a row just read takes, a data packet's bytes included.
uint64_t rowMemory(const Tbase& row) {
  const auto* data = row.kind == ROW_DATA ? dynamic_cast<const Tdata*>(&row) : nullptr;
  const uint64_t bytes = data && data->data.capacity() > 0 ? data->data.capacity() + MALLOC_OVERHEAD : 0;
  const bool known = row.kind >= ROW_RESET && row.kind <= ROW_TRANSFER;
  return (known ? ROW_SIZE[row.kind] : LARGEST_ROW) + ROW_OVERHEAD + bytes;
}

/// Payload bytes of a data packet at most (1027 bytes with PID and CRC).
constexpr uint64_t MAX_PAYLOAD = 1024;
/// The least an event row costs: the smallest event row kind in its pool block.
constexpr uint64_t LEAST_EVENT_ROW =
    std::min({sizeof(Treset), sizeof(Tsof), sizeof(Ttoken), sizeof(Tdata), sizeof(Thandshake)}) + POOL_BLOCK;
/// What grouping and flattening need per event at least: its entry among the roots (reserved
/// for every event) and its entry in the flat list.
constexpr uint64_t LATER_PER_EVENT = sizeof(TrowPtr) + sizeof(TlinRow);
/// Per token: the transaction that the grouper opens for it (its block in the pool and its
/// child list of up to three rows) and the transaction's flat row.
constexpr uint64_t LATER_PER_TOKEN =
    sizeof(Ttransax) + POOL_BLOCK + 3 * sizeof(TrowPtr) + MALLOC_OVERHEAD + sizeof(TlinRow);
/// Per SOF: its entry in the child list of its SOF group.
constexpr uint64_t LATER_PER_SOF = sizeof(TrowPtr);
/// A decode asks the system after its first CHECK_BYTES of rows, then after every this much: a
/// question costs a few hundred microseconds, so that a few dozen per GB of rows leave the
/// decode speed as it was.
constexpr uint64_t DECODE_CHECK_BYTES = uint64_t{64} << 20;
/// Event rows made between two checks of a decode at most.
constexpr uint64_t ROWS_PER_CHECK = DECODE_CHECK_BYTES / LEAST_EVENT_ROW + HEAP_CHECK_EVERY;
/// What a decode may take between two checks: the rows of one check step, the rows made
/// before they are next counted, their entries in the events vector and one chunk of the row
/// pool.
constexpr uint64_t DECODE_GROWTH_ALLOWANCE = DECODE_CHECK_BYTES +
                                             HEAP_CHECK_EVERY * (LARGEST_ROW + POOL_BLOCK + MAX_PAYLOAD + MALLOC_OVERHEAD) +
                                             ROWS_PER_CHECK * sizeof(TrowPtr) + TrowArena::MAX_CHUNK;

/// Keeps a decode within the memory that the system can give, so that a capture too large for
/// it fails as a decode instead of the process being killed when the pages are touched. Before
/// the first row it asks for the events reservation and the least that the estimated rows cost;
/// then, as rows come, for the rest of the stream at the memory per stream byte seen so far,
/// with what grouping and flattening will need for the rows so far and to come; after the last
/// row, for what those two steps need for the rows made. The rows are counted in steps of
/// HEAP_CHECK_EVERY; the system is asked after the first CHECK_BYTES of rows, early enough to
/// stop a capture far too large before it has taken much, then every DECODE_CHECK_BYTES. A
/// decode of fewer rows never asks.
class TdecodeMemory {
 public:
  explicit TdecodeMemory(uint64_t streamBytes) : stream(streamBytes) {}

  /// Before any row, for a reservation of reserved events: false when it and the least that as
  /// many rows cost cannot fit. Smaller needs than one check step are left to the checks.
  static bool fitsAtStart(size_t reserved) {
    const uint64_t least = reserved * (sizeof(TrowPtr) + LEAST_EVENT_ROW);
    return least < CHECK_BYTES || utils::memoryFits(least);
  }

  /// Counts the rows appended to events since the last call; pos: the stream bytes decoded.
  /// At each check: false when the rest of the decode would not fit.
  bool add(const TrowVec& events, uint64_t pos) {
    countRows(events);
    if (committed - bytesChecked < (bytesChecked == 0 ? CHECK_BYTES : DECODE_CHECK_BYTES)) return true;
    bytesChecked = committed;
    const double left = pos > 0 && pos < stream ? static_cast<double>(stream - pos) / static_cast<double>(pos) : 0.0;
    uint64_t need = DECODE_GROWTH_ALLOWANCE + scaled(committed, left) + laterSteps(1.0 + left);
    // The reserved entries that the rows to come will fill are touched only then. A vector that
    // outgrows its room (by the rows to come, or before the next check) allocates twice that
    // room beside itself.
    const uint64_t expected = scaled(counted, 1.0 + left);
    const uint64_t toFill = std::min<uint64_t>(expected, events.capacity());
    if (toFill > events.size()) need += (toFill - events.size()) * sizeof(TrowPtr);
    if (std::max<uint64_t>(expected, events.size() + ROWS_PER_CHECK) > events.capacity())
      need += 2 * events.capacity() * sizeof(TrowPtr);
    return utils::memoryFits(need);
  }

  /// After the last row: false when grouping and flattening the rows would not fit (asked from
  /// CHECK_ROWS rows on).
  bool laterStepsFit(const TrowVec& events) {
    countRows(events);
    return counted < CHECK_ROWS || utils::memoryFits(laterSteps(1.0));
  }

 private:
  void countRows(const TrowVec& events) {
    for (; counted < events.size(); ++counted) {
      const Tbase* row = events[counted].get();
      if (!row) continue;
      uint64_t bytes = (row->kind >= ROW_RESET && row->kind <= ROW_TRANSFER ? ROW_SIZE[row->kind] : LARGEST_ROW) + POOL_BLOCK;
      if (row->kind == ROW_DATA) {
        // The data kind is set only by the data row class.
        const size_t payload = static_cast<const Tdata*>(row)->data.capacity();
        if (payload > 0) bytes += payload + MALLOC_OVERHEAD;
      } else if (row->kind == ROW_TOKEN) {
        ++tokens;
      } else if (row->kind == ROW_SOF) {
        ++sofs;
      }
      committed += bytes;
    }
  }

  /// What grouping and flattening need for the rows counted, times f.
  uint64_t laterSteps(double f) const {
    return scaled(counted * LATER_PER_EVENT + tokens * LATER_PER_TOKEN + sofs * LATER_PER_SOF, f);
  }

  const uint64_t stream;
  uint64_t counted = 0;  ///< rows of the events counted so far
  uint64_t committed = 0;
  uint64_t tokens = 0;
  uint64_t sofs = 0;
  uint64_t bytesChecked = 0;
};

}  // namespace

void TdataIO::rawDataToEventVec(std::span<const uint8_t> raw,
                                const std::shared_ptr<TrowVec>& events,
                                const std::function<void(size_t)>& progress) {
  events->clear();
  if (raw.empty()) return;
  // Room for every event at once: growing the vector step by step would copy it and touch
  // about twice its memory.
  const size_t estimate = Tevents::estimateEvents(raw);
  // With overcommit the memory is granted now and found missing when it is touched, which
  // ends the process: a decode that will not fit is refused before, as out of memory.
  TdecodeMemory memory(raw.size());
  if (!memory.fitsAtStart(estimate)) throw std::bad_alloc();
  events->reserve(estimate);
  adviseHugePages(events->data(), events->capacity() * sizeof(TrowPtr));
  adviseHeapGrowth();
  Tevents decoder(raw);
  uint64_t pos = 0;
  for (size_t n = 1; decoder.getNextEvent(*events, pos); ++n) {
    if (progress) progress(static_cast<size_t>(pos));
    if (n % HEAP_CHECK_EVERY == 0) {
      adviseHeapGrowth();
      if (!memory.add(*events, pos)) throw std::bad_alloc();
    }
  }
  if (!memory.laterStepsFit(*events)) throw std::bad_alloc();
}

void TdataIO::eventVecToTreeRootVec(const std::shared_ptr<TrowVec>& events,
                                    const std::shared_ptr<TrowVec>& roots) {
  roots->clear();
  // The roots are reserved for every event and the flat list takes at least a row per event.
  if (events->size() >= CHECK_ROWS && !utils::memoryFits(events->size() * LATER_PER_EVENT)) throw std::bad_alloc();
  // There are never more roots than events: one reservation instead of a vector that grows.
  roots->reserve(events->size());
  adviseHugePages(roots->data(), roots->capacity() * sizeof(TrowPtr));
  adviseHeapGrowth();
  TrawTree tree(*events, *roots);
}

void TdataIO::treeRootVecToLinVec(const std::shared_ptr<TrowVec>& roots,
                                  const std::shared_ptr<TlinRowVec>& lin) {
  lin->clear();
  const size_t rows = flatCount(*roots);
  if (rows >= CHECK_ROWS && !utils::memoryFits(rows * sizeof(TlinRow))) throw std::bad_alloc();
  lin->reserve(rows);
  adviseHugePages(lin->data(), lin->capacity() * sizeof(TlinRow));
  for (const auto& root : *roots) treeRow2Linear(root, -1, lin, 0);
}

void TdataIO::treeRow2Linear(const TrowPtr& row, int parentHandle,
                             const std::shared_ptr<TlinRowVec>& lin, uint8_t flags) {
  if (!row) return;
  // The handle is an int: a flat list holds at most INT_MAX rows.
  if (lin->size() >= static_cast<size_t>(INT_MAX)) return;
  row->handle = static_cast<int>(lin->size());
  row->parent = parentHandle;

  uint8_t bits = 0;
  uint32_t* counter = nullptr;
  switch (row->kind) {
    case ROW_RESET:
      counter = &resets;
      break;
    case ROW_SOF:
      bits = LINROW_SOF | LINROW_PACKET;
      counter = &packets;
      break;
    case ROW_TOKEN:
    case ROW_DATA:
    case ROW_HANDSHAKE:
      bits = LINROW_PACKET;
      counter = &packets;
      break;
    case ROW_SOFGROUP:
      bits = LINROW_SOF | LINROW_PACKET;
      counter = &sofGroups;
      break;
    case ROW_TRANSAX:
      counter = &transactions;
      break;
    case ROW_TRANSFER:
      counter = &transfers;
      break;
    default:
      return;
  }
  const auto rowFlags = static_cast<uint8_t>(flags | bits);
  lin->emplace_back(row, rowFlags);
  row->ordinal = ++*counter;

  if (isGroupKind(row->kind)) {
    // The group kinds are set only by the group row classes.
    const auto& group = static_cast<const Tgrouper&>(*row);
    const int handle = row->handle;
    for (const auto& child : group.children) treeRow2Linear(child, handle, lin, rowFlags);
  }
}

unsigned TdataIO::loadRawData(const std::vector<uint8_t>& raw,
                              const std::shared_ptr<TrowVec>& events,
                              const std::shared_ptr<TrowVec>& roots,
                              const std::shared_ptr<TlinRowVec>& lin) {
  events->clear();
  roots->clear();
  lin->clear();
  if (raw.empty()) return 0;
  Tevents decoder(raw);
  decoder.getEvents(*events);
  if (events->empty()) return 0;
  eventVecToTreeRootVec(events, roots);
  if (roots->empty()) return 0;
  treeRootVecToLinVec(roots, lin);
  return static_cast<unsigned>(lin->size());
}

void TdataIO::addToParent(const TrowPtr& row) {
  if (!row || row->depth >= Fparents.size()) return;  // no open level: dropped
  Fparents[row->depth]->push_back(row);
}

bool TdataIO::setParentList(TrowVec* list, int level) {
  if (!list || level < 0 || level >= MAX_LEVELS) return false;
  const auto lvl = static_cast<size_t>(level);
  if (lvl < Fparents.size()) {
    Fparents[lvl] = list;
    return true;
  }
  if (lvl == Fparents.size()) {
    Fparents.push_back(list);
    return true;
  }
  return false;
}

uint32_t TdataIO::loadLinearFile(const std::string& path, const std::shared_ptr<TrowVec>& roots,
                                 const std::shared_ptr<TlinRowVec>& lin) {
  if (!roots || !lin) return 0;
  // Nothing leaves here as an exception (the desktop reads its default file through this at
  // start-up): a load that fails, out of memory say, gives 0 and the caller's rows stay.
  try {
    return readLinearFile(path, *roots, *lin);
  } catch (const std::exception&) {
    Fparents.clear();
    return 0;
  }
}

uint32_t TdataIO::readLinearFile(const std::string& path, TrowVec& roots, TlinRowVec& lin) {
  TgzCloser closer{openRegularFile(path)};
  if (!closer.file) return 0;
  TgzReader in(closer.file);

  // The magic's content is not compared; only its length counts.
  for (size_t i = 0; i < FILE_MAGIC_LEN; ++i) {
    if (in.getChar() < 0) return 0;
  }
  // The length line: digits and a newline. Its value only guides the memory estimate.
  uint64_t declared = 0;
  for (int i = 0; i < MAX_LENGTH_DIGITS; ++i) {
    const int c = in.getChar();
    if (c == '\n') break;
    if (c < '0' || c > '9') return 0;
    declared = declared * 10 + static_cast<uint64_t>(c - '0');
  }
  // A file whose rows cannot fit is refused as a whole, like a damaged one: what the caller
  // shows stays, where running out of memory would end the program.
  TloadMemory memory(declared);
  if (!memory.fitsAtStart()) return 0;
  const uint64_t headerBytes = in.bytesRead();

  // The rows are built apart and handed over whole at the end, so a failure on the way leaves
  // the caller's vectors as they were.
  auto newRoots = std::make_shared<TrowVec>();
  auto newLin = std::make_shared<TlinRowVec>();
  Fparents.clear();
  Fparents.push_back(newRoots.get());

  TrowPool pool;
  uint32_t count = 0;
  std::string line;
  line.reserve(LINE_RESERVE);
  for (;;) {
    bool tooLong = false;
    const TgzReader::Tstatus st = in.getLine(line, MAX_LINE_LENGTH, tooLong);
    // At a read error the line in hand may be cut short: it is not used, the rows before it are.
    if (st == TgzReader::FAIL) break;
    // A line longer than any row line is damage: skipped whole, like a line that gives no row.
    uint64_t rowBytes = 0;
    if (!line.empty() && !tooLong) {
      if (TrowPtr row = rowutils::fromString(line, &pool)) {
        ++count;
        rowBytes = rowMemory(*row);
        if (isGroupKind(row->kind)) {
          auto* group = dynamic_cast<Tgrouper*>(row.get());
          // A group whose level would skip one (or nest too deep) gets no list and is dropped.
          if (group && row->depth < static_cast<uint32_t>(MAX_LEVELS) &&
              setParentList(&group->children, static_cast<int>(row->depth) + 1)) {
            addToParent(row);
          }
        } else {
          addToParent(row);
        }
      }
    }
    if (!memory.add(rowBytes, in.bytesRead() - headerBytes, Fparents)) {
      Fparents.clear();
      return 0;
    }
    if (st == TgzReader::END || count >= MAX_FILE_ROWS) break;
  }
  gzclose(closer.file);
  closer.file = nullptr;
  Fparents.clear();  // it points into the rows just built

  if (count > 0) {
    if (!memory.flatListFits()) return 0;
    newLin->reserve(flatCount(*newRoots));
    adviseHugePages(newLin->data(), newLin->capacity() * sizeof(TlinRow));
    for (const auto& root : *newRoots) treeRow2Linear(root, -1, newLin, 0);
  }
  // A file that gives no row still empties the vectors.
  roots.swap(*newRoots);
  lin.swap(*newLin);
  return count;
}

size_t TdataIO::swapInLinearFile(const std::string& path, std::shared_ptr<TrowVec>& roots,
                                 std::shared_ptr<TlinRowVec>& lin) {
  // A load that fails on the way (out of memory) gives 0 and changes nothing, like a file that
  // gives no rows.
  try {
    auto newLin = std::make_shared<TlinRowVec>();
    auto newRoots = std::make_shared<TrowVec>();
    TdataIO().loadLinearFile(path, newRoots, newLin);
    if (newLin->empty()) return 0;
    lin.swap(newLin);
    roots.swap(newRoots);
    return lin->size();
  } catch (const std::exception&) {
    return 0;
  }
}

uint32_t TdataIO::saveLinearToFile(const std::shared_ptr<TlinRowVec>& lin, const std::string& path) {
  try {
    // The body goes first into memory: its length is written before it. It is built before
    // the file is made, so running out of memory here touches no file.
    std::string body;
    uint32_t count = 0;
    if (lin) {
      for (const auto& entry : *lin) {
        if (!entry.row) continue;
        body += rowutils::toString(entry.row);
        ++count;
      }
    }
    const std::string head =
        std::string(FILE_MAGIC, FILE_MAGIC_LEN) + std::to_string(body.size()) + "\n";

    TsafeFile out(path);
    gzFile file = out.handle();
    if (!file) return 0;
    auto writeAll = [file](const char* p, size_t n) {
      while (n > 0) {
        const size_t piece = n < GZ_WRITE_PIECE ? n : GZ_WRITE_PIECE;
        if (gzwrite(file, p, static_cast<unsigned>(piece)) != static_cast<int>(piece)) return false;
        p += piece;
        n -= piece;
      }
      return true;
    };
    const bool written = writeAll(head.data(), head.size()) && writeAll(body.data(), body.size());
    return written && out.commit() ? count : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

uint32_t TdataIO::loadRawFile(const std::string& path, const std::shared_ptr<TrowVec>& events,
                              const std::shared_ptr<TrowVec>& roots,
                              const std::shared_ptr<TlinRowVec>& lin) {
  std::vector<uint8_t> bytes;
  std::ifstream in(path, std::ios::binary);
  if (in) {
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    // A file of 4 GiB or more is refused whole rather than read in part.
    if (size > 0 && static_cast<uint64_t>(size) < MAX_RAW_FILE) {
      bytes.resize(static_cast<size_t>(size));
      in.seekg(0, std::ios::beg);
      in.read(reinterpret_cast<char*>(bytes.data()), size);
      if (!in) bytes.clear();
    }
  }
  return loadRawData(bytes, events, roots, lin);
}

size_t TdataIO::saveEventsToFile(const std::shared_ptr<TrowVec>& events, const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return 0;
  size_t count = 0;
  if (events) {
    for (const auto& row : *events) {
      if (!row) continue;
      out << rowutils::toString(row);
      ++count;
    }
  }
  out.close();
  return out ? count : 0;
}
