#include "nxseJournalEngine.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "nxllOwners.h"
#include "plString.h"

NX_IMPLEMENT_EXCEPTION(Enx1xJournalEngineException, EnxBaseJournalEngineException)
PL_CLASS_INFO_IMPL_TABLE(Tnx1xJournalEngine, TnxBaseJournalEngine, "Tnx1xJournalEngine", nullptr,
                         platform::bindClassTable(nxJournalEngineFuncs<Tnx1xJournalEngine>))
PL_CLASS_INFO_IMPL_TABLE(Tnx1xCommitJournalEngine, Tnx1xJournalEngine, "Tnx1xCommitJournalEngine", nullptr,
                         platform::bindClassTable(nxJournalEngineFuncs<Tnx1xCommitJournalEngine>))
PL_CLASS_INFO_IMPL_TABLE(Tnx1xRollbackJournalEngine, Tnx1xJournalEngine, "Tnx1xRollbackJournalEngine", nullptr,
                         platform::bindClassTable(nxJournalEngineFuncs<Tnx1xRollbackJournalEngine>))

namespace {

constexpr std::uint8_t kNoImage = 0x80;
constexpr std::uint8_t kBeforeImage = 255, kAfterImage = 0;
// What a journal's name ends in while it is written: recovery drops such
// files, whose commits never reached a table file.
constexpr char16_t kWritingSuffix[] = u".tmp";
constexpr char kWritingExtension[] = ".n$2.tmp";

platform::FileSystem& fs() { return platform::currentFileSystem(); }

std::string folderWithSlash(const std::string& aPath) {
  const std::string folder = platform::folderOf(aPath);
  const std::string absolute = fs().absolutePath(folder.empty() ? std::string(".") : folder);
  return !absolute.empty() && absolute.back() == '/' ? absolute : absolute + "/";
}

[[noreturn]] void raiseIO(TnxResult aCode, const char16_t* aAction, const std::string& aPath, int aError) {
  throw Enx1xJournalEngineException(aCode, u"INTERNAL: %s [%s, error %d]",
                                    {nxString(aAction), platform::fromUtf8(aPath), static_cast<std::int64_t>(aError)});
}

void writeExact(platform::FileId aFile, const void* aData, std::size_t aCount, std::int64_t aOffset,
                const std::string& aPath) {
  std::size_t done = 0;
  const int err = fs().writeAt(aFile, aData, aCount, aOffset, done);
  if (err != 0 || done != aCount) raiseIO(9218, u"Could not write the journal", aPath, err ? err : 5);
}

// Reads up to aCount bytes; answers the count read.
std::size_t readSome(platform::FileId aFile, void* aData, std::size_t aCount, std::int64_t aOffset,
                     const std::string& aPath) {
  std::size_t total = 0;
  while (total < aCount) {
    std::size_t done = 0;
    const int err = fs().readAt(aFile, static_cast<std::uint8_t*>(aData) + total, aCount - total,
                                aOffset + static_cast<std::int64_t>(total), done);
    if (err != 0) raiseIO(9217, u"Could not read from file", aPath, err);
    if (done == 0) break;
    total += done;
  }
  return total;
}

[[noreturn]] void raiseShort(const std::string& aPath, std::size_t aCount) {
  throw Enx1xJournalEngineException(nxErrReadFailure, u"INTERNAL: Could not read exact number of bytes from file [%s, %d bytes]",
                                    {platform::fromUtf8(aPath), static_cast<std::int64_t>(aCount)});
}

[[noreturn]] void raiseBadJournal(const std::string& aPath, const char16_t* aWhy) {
  throw Enx1xJournalEngineException(nxErrCannotOpenFile, u"\"%s\" is not a DazavAV formatted file, or its file header is corrupt (%s)",
                                    {platform::fromUtf8(aPath), nxString(aWhy)});
}

bool endsWithLower(const std::string& aName, std::string_view aEnd) {
  if (aName.size() < aEnd.size()) return false;
  for (std::size_t i = 0; i < aEnd.size(); ++i) {
    char c = aName[aName.size() - aEnd.size() + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != aEnd[i]) return false;
  }
  return true;
}

bool endsWithJournalExtension(const std::string& aName) { return endsWithLower(aName, ".n$2"); }
bool endsWithWritingExtension(const std::string& aName) { return endsWithLower(aName, kWritingExtension); }

// The number in a journal's name ("<number>.n$2"); -1 when there is none.
std::int64_t journalNumber(const std::string& aName) {
  const std::size_t len = aName.size() - 4;
  if (len == 0 || len > 18) return -1;
  std::int64_t n = 0;
  for (std::size_t i = 0; i < len; ++i) {
    const char c = aName[i];
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

// One record of a journal being replayed.
struct Record {
  std::int64_t imageAt;  // offset of the image in the journal
  TnxBlockNumber block;
  std::uint32_t bytes;
  std::string target;
  std::int64_t fileBlocks;  // the target's size in blocks before the replay
};

// Open table files a replay writes; synced and closed together.
struct Targets {
  std::map<std::string, platform::FileId> files;
  ~Targets() {
    for (auto& [path, id] : files) fs().close(id);
  }
};

}  // namespace

// ---- Writing ---------------------------------------------------------------------------

Tnx1xJournalEngine::~Tnx1xJournalEngine() {
  if (jeJournalFile < 0) return;
  // Not retired (a commit that never wrote table files): best effort.
  if (jeComplete) {
    const std::uint8_t zero[4] = {};
    std::size_t done = 0;
    if (fs().writeAt(jeJournalFile, zero, 4, 4, done) == 0) (void)fs().sync(jeJournalFile);
  }
  fs().close(jeJournalFile);
  jeJournalFile = -1;
  if (fs().remove(jePath) == 0 && jeNamed) (void)fs().syncDirectory(platform::folderOf(jePath));
}

void Tnx1xJournalEngine::RetireJournal() {
  if (jeJournalFile < 0) return;
  const std::string path = jePath;
  if (!jeComplete) {
    // Never under a name recovery replays.
    fs().close(jeJournalFile);
    jeJournalFile = -1;
    (void)fs().remove(path);
    return;
  }
  // A complete journal stops being replayable once its cleared flag is
  // durable; a name that comes back after a lost unlink is then dropped at
  // recovery, so the unlink need not be durable. On a journal written
  // through, a completed write is durable even when the sync after it fails.
  const std::uint8_t zero[4] = {};
  std::size_t done = 0;
  int flagError = fs().writeAt(jeJournalFile, zero, 4, 4, done);
  if (flagError == 0 && done != 4) flagError = 5;  // EIO
  if (flagError == 0)
    if (const int syncError = fs().sync(jeJournalFile); syncError != 0 && !jeWriteThrough) flagError = syncError;
  fs().close(jeJournalFile);
  jeJournalFile = -1;
  int unlinkError = fs().remove(path);
  if (flagError == 0) return;
  if (unlinkError == 0) unlinkError = fs().syncDirectory(platform::folderOf(path));
  if (unlinkError != 0) raiseIO(9218, u"Could not retire the journal", path, flagError);
}

void Tnx1xJournalEngine::KeepJournalFile() {
  if (jeJournalFile < 0) return;
  fs().close(jeJournalFile);
  jeJournalFile = -1;
}

void Tnx1xJournalEngine::PrepareJournal() {
  nxAssert(jeJournalFile < 0, "Journal already open");
  // Written under a name recovery drops until it is complete and durable.
  jePath = platform::toUtf8(bjeFileName + kWritingSuffix);
  const std::string& path = jePath;
  platform::FileOpenOptions options;
  options.access = platform::FileAccess::readWrite;
  options.share = platform::FileShare::none;
  options.create = true;
  platform::FileId id = -1;
  if (const int err = fs().open(path, options, id)) raiseIO(9218, u"Could not create the journal", path, err);
  jeJournalFile = id;
  jeWriteThrough = options.writeThrough;
  jeSize = 0;
  jeGatheredAt = 0;
  jeGatheredCount = 0;
  jeComplete = false;
  jeNamed = false;
  jeNames.clear();
  WriteJournalHeader(false);
}

void Tnx1xJournalEngine::WriteJournalHeader(bool aComplete) {
  std::uint8_t header[HeaderSize];
  std::memcpy(header, "NXJH", 4);
  const std::int32_t flag = aComplete ? -1 : 0, kind = Kind();
  std::memcpy(header + 4, &flag, 4);
  std::memcpy(header + 8, &kind, 4);
  if (jeSize == 0) {
    std::memcpy(Reserve(HeaderSize), header, HeaderSize);
    jeSize = HeaderSize;
    return;
  }
  if (jeGatheredAt == 0 && jeGatheredCount >= HeaderSize) {
    std::memcpy(jeGathered.get(), header, HeaderSize);  // the header is still gathered
    return;
  }
  WriteGathered();
  writeExact(jeJournalFile, header, HeaderSize, 0, jePath);
}

std::uint8_t* Tnx1xJournalEngine::Reserve(std::size_t aCount) {
  if (jeGatheredCount + aCount > jeGatheredCapacity) {
    const std::size_t capacity = std::max({jeGatheredCapacity * 2, jeGatheredCount + aCount, std::size_t{64} << 10});
    // Not zero-filled: every byte is written before it is used.
    std::unique_ptr<std::uint8_t[]> grown(new std::uint8_t[capacity]);
    if (jeGatheredCount) std::memcpy(grown.get(), jeGathered.get(), jeGatheredCount);
    jeGathered = std::move(grown);
    jeGatheredCapacity = capacity;
  }
  std::uint8_t* at = jeGathered.get() + jeGatheredCount;
  jeGatheredCount += aCount;
  return at;
}

void Tnx1xJournalEngine::WriteGathered() {
  if (jeGatheredCount == 0) return;
  writeExact(jeJournalFile, jeGathered.get(), jeGatheredCount, jeGatheredAt, jePath);
  jeGatheredAt += static_cast<std::int64_t>(jeGatheredCount);
  jeGatheredCount = 0;
}

const std::uint8_t* Tnx1xJournalEngine::NameField(TnxBaseFile* aFile) {
  for (const auto& [file, field] : jeNames)
    if (file == aFile) return field.data();
  std::string name = platform::toUtf8(aFile->FileName());
  const std::string folder = folderWithSlash(platform::toUtf8(bjeFileName));
  if (name.compare(0, folder.size(), folder) == 0 && name.find('/', folder.size()) == std::string::npos)
    name.erase(0, folder.size());
  if (name.size() > 255)
    throw Enx1xJournalEngineException(nxErrNotSupported, u"The table file name is too long for the journal: %s",
                                      {aFile->FileName()});
  std::array<std::uint8_t, 256> field{};
  field[0] = static_cast<std::uint8_t>(name.size());
  std::memcpy(field.data() + 1, name.data(), name.size());
  jeNames.emplace_back(aFile, field);
  return jeNames.back().second.data();
}

void Tnx1xJournalEngine::AddBlock(TnxBaseTransaction* aTrans, TnxReadOnlyBlock* aBlock) {
  nxAssert(jeJournalFile >= 0, "Journal not open");
  const std::int32_t kind = Kind();
  if (kind == 0 || kind == 2) WriteJournalRecord(aBlock, aTrans, true);
  if (kind == 0 || kind == 1) WriteJournalRecord(aBlock, aTrans, false);
  if (jeGatheredCount >= WriteBound) WriteGathered();
}

void Tnx1xJournalEngine::WriteJournalRecord(TnxReadOnlyBlock* aBlock, TnxBaseTransaction* aTrans,
                                            bool aBeforeImage) {
  TnxBaseFile* file = aBlock->robFile;
  const std::uint8_t* nameField = NameField(file);
  const std::uint32_t bytes = file->BlockBytes();

  const std::uint8_t* image = nullptr;
  // What the file writes for a freed block.
  auto freedImage = [&](TnxLSN aLSN) {
    jeFreedImage.assign(bytes, 0);
    std::memcpy(jeFreedImage.data(), "DEAD", 4);
    std::memcpy(jeFreedImage.data() + 4, &aBlock->robBlockNum, 4);
    std::memcpy(jeFreedImage.data() + 8, &aLSN, 8);
    return jeFreedImage.data();
  };
  if (aBeforeImage) {
    if (aBlock->robNew && aBlock->robBlockNum != 0 && aBlock->robBlockNum < file->UsedBlocks()) {
      // A free block taken again: the disk holds it freed, and a rollback
      // must put it back so, or the undone commit's data stays in a block
      // of the free set.
      image = freedImage(file->BlockZero() ? file->BlockZero()->robLastLSN : 0);
    } else if (!aBlock->robNew) {
      if (!aBlock->boCacheBlock) aBlock->CacheBlockNeeded();
      nxAssert(aBlock->boCacheBlock != nullptr, "Before image not available");
      image = aBlock->boCacheBlock->Block();
    }
  } else {
    TnxModifiedBlock* newest = aBlock->robBlockListTail;
    nxAssert(newest != nullptr, "After image of a block that is not changed");
    if (newest->mbDiscarded || !newest->boCacheBlock)
      image = freedImage(aTrans->btLSN);
    else
      image = newest->boCacheBlock->Block();
  }
  const bool hasImage = image != nullptr;
  const std::size_t size = RecordHeaderSize + (hasImage ? bytes : 0);
  std::uint8_t* record = Reserve(size);
  std::memcpy(record, "NXJR", 4);
  std::memcpy(record + 4, &aBlock->robBlockNum, 4);
  record[8] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(file->BlockSize()) | (hasImage ? 0 : kNoImage));
  record[9] = aBeforeImage ? kBeforeImage : kAfterImage;
  record[10] = record[11] = 0;
  std::memcpy(record + 12, nameField, 256);
  std::uint8_t* out = record + RecordHeaderSize;
  if (image) {
    if (file->EncryptionEngine() && aBlock->robBlockNum != 0) {
      std::vector<std::uint8_t> cookie, checksum = file->Checksum();
      file->EncryptionEngine()->CodeBlockEx(image, out, bytes, aBlock->robBlockNum, cookie, checksum);
    } else {
      std::memcpy(out, image, bytes);
    }
  }
  jeSize += static_cast<std::int64_t>(size);
}

void Tnx1xJournalEngine::FinalizeJournal() {
  nxAssert(jeJournalFile >= 0, "Journal not open");
  const std::string path = platform::toUtf8(bjeFileName);
  const std::string writing = jePath;
  // Records and flag go out together and are made durable by one sync; the
  // journal gets its name only after that, so no crash can show the flag
  // without the records it covers.
  WriteJournalHeader(true);
  WriteGathered();
  jeGathered.reset();
  jeGatheredCapacity = 0;
  if (const int err = fs().sync(jeJournalFile)) raiseIO(9218, u"Could not flush the journal", writing, err);
  // From here a name may come to exist that recovery would replay: freeing
  // the journal clears its flag first.
  jeComplete = true;
  // The name is never taken over: a journal of that name not yet recovered
  // holds the only images of an earlier commit.
  if (const int err = fs().rename(writing, path))
    raiseIO(9218,
            err == EEXIST ? u"Could not name the journal: a journal of that name is already there"
                          : u"Could not name the journal",
            path, err);
  jeNamed = true;
  jePath = path;
  if (const int err = fs().syncDirectory(platform::folderOf(path)))
    raiseIO(9218, u"Could not sync the journal's folder", path, err);
}

// ---- Recovery ----------------------------------------------------------------------------

void Tnx1xJournalEngine::ProcessJournal(const nxString& aJournalName, platform::FileId aFile,
                                        bool aApplyAfterImages) {
  const std::string journalPath = platform::toUtf8(aJournalName);
  const std::string folder = folderWithSlash(journalPath);
  // Pass 1: read and check every record and every target; nothing written.
  std::vector<Record> records;
  struct TargetCheck {
    bool ok = false;
    std::int64_t blocks = 0;  // the file's size in blocks, rounded up
  };
  std::map<std::string, TargetCheck> checkedTargets;
  std::map<std::string, std::int64_t> implied;
  // Undoing: the used-block count each table had before the commit.
  std::map<std::string, std::uint32_t> usedBefore;
  std::int64_t at = HeaderSize;
  std::uint8_t header[RecordHeaderSize];
  for (;;) {
    const std::size_t got = readSome(aFile, header, RecordHeaderSize, at, journalPath);
    if (got == 0) break;
    if (got != RecordHeaderSize) raiseShort(journalPath, RecordHeaderSize);
    if (std::memcmp(header, "NXJR", 4) != 0) raiseBadJournal(journalPath, u"record signature");
    const bool hasImage = (header[8] & kNoImage) == 0;
    const std::uint8_t code = header[8] & 0x7F;
    if (code > nxbs64k) raiseBadJournal(journalPath, u"block size code");
    if (header[9] != kBeforeImage && header[9] != kAfterImage) raiseBadJournal(journalPath, u"image kind");
    if (!hasImage && header[9] != kBeforeImage) raiseBadJournal(journalPath, u"after image without image");
    const std::uint32_t bytes = nxBlockBytes(static_cast<TnxBlockSize>(code));
    at += RecordHeaderSize;
    const std::int64_t imageAt = at;
    if (hasImage) {
      // The whole image must be there.
      std::int64_t size = 0;
      if (const int err = fs().size(aFile, size)) raiseIO(9217, u"Could not read from file", journalPath, err);
      if (size - at < static_cast<std::int64_t>(bytes)) raiseShort(journalPath, bytes);
      at += bytes;
    }
    const bool applies = hasImage && ((header[9] == kAfterImage) == aApplyAfterImages);
    std::string name(reinterpret_cast<const char*>(header + 13), header[12]);
    const bool named = !name.empty() && name.find('\0') == std::string::npos;
    if (!applies && !named) continue;
    if (!named) raiseBadJournal(journalPath, u"table name");
    std::string target = name.front() == '/' ? name : folder + name;
    target = fs().absolutePath(target);
    const TnxBlockNumber block = *reinterpret_cast<const TnxBlockNumber*>(header + 4);
    // The size of the table the journaled commit left: a new block counts,
    // and so does the used-block count of a block 0 image.
    std::int64_t& size = implied[target];
    if (!hasImage) size = std::max<std::int64_t>(size, std::int64_t{block} + 1);
    if (hasImage && block == 0) {
      std::uint32_t used = 0;
      if (readSome(aFile, &used, 4, imageAt + 32, journalPath) != 4) raiseShort(journalPath, bytes);
      size = std::max<std::int64_t>(size, used);
      if (applies && !aApplyAfterImages) usedBefore[target] = used;
    }
    if (!applies) continue;
    auto checked = checkedTargets.find(target + '#' + std::to_string(code));
    if (checked == checkedTargets.end()) {
      TargetCheck result;
      platform::PathInfo info;
      bool ok = fs().pathInfo(target, info) == 0 && !info.isDirectory && !info.isSymlink;
      if (ok) {
        platform::FileOpenOptions options;
        options.access = platform::FileAccess::read;
        options.share = platform::FileShare::readWrite;
        platform::FileId id = -1;
        ok = fs().open(target, options, id) == 0;
        if (ok) {
          std::uint8_t zero[20] = {};
          std::size_t done = 0;
          ok = fs().readAt(id, zero, sizeof zero, 0, done) == 0 && done == sizeof zero;
          std::int64_t fileSize = 0;
          ok = ok && fs().size(id, fileSize) == 0;
          result.blocks = (fileSize + bytes - 1) / bytes;
          fs().close(id);
          TnxBlockSignature signature;
          std::memcpy(signature.data(), zero, 4);
          ok = ok && TnxBaseFileHeaderAccessFactory::HasSignature(signature) && zero[16] == code;
        }
      }
      result.ok = ok;
      checked = checkedTargets.emplace(target + '#' + std::to_string(code), result).first;
    }
    if (!checked->second.ok)
      throw Enx1xJournalEngineException(nxErrCannotOpenFile, u"Journal \"%s\" names \"%s\", which is not a table of that block size",
                                        {aJournalName, platform::fromUtf8(target)});
    records.push_back({imageAt, block, bytes, target, checked->second.blocks});
  }
  // A block beyond both the table and what the commit made of it is a
  // damaged record: nothing of the journal is written.
  for (const Record& r : records)
    if (std::int64_t{r.block} >= std::max(r.fileBlocks, implied[r.target]))
      throw Enx1xJournalEngineException(nxErrCannotOpenFile, u"Journal \"%s\" names block %d of \"%s\", beyond the table",
                                        {aJournalName, static_cast<std::int64_t>(r.block), platform::fromUtf8(r.target)});
  // Pass 2: write the images, then make every written file durable.
  Targets targets;
  std::vector<std::uint8_t> image;
  for (const Record& r : records) {
    auto it = targets.files.find(r.target);
    if (it == targets.files.end()) {
      platform::FileOpenOptions options;
      options.access = platform::FileAccess::readWrite;
      options.share = platform::FileShare::none;
      platform::FileId id = -1;
      if (const int err = fs().open(r.target, options, id)) raiseIO(9221, u"File could not be opened", r.target, err);
      it = targets.files.emplace(r.target, id).first;
    }
    image.resize(r.bytes);
    if (readSome(aFile, image.data(), r.bytes, r.imageAt, journalPath) != r.bytes) raiseShort(journalPath, r.bytes);
    std::size_t done = 0;
    const int err =
        fs().writeAt(it->second, image.data(), r.bytes, static_cast<std::int64_t>(r.block) * r.bytes, done);
    if (err != 0 || done != r.bytes) raiseIO(9218, u"Could not write the table file", r.target, err ? err : 5);
  }
  // Blocks the undone commit appended past the used blocks have no before
  // image; cut them off, or a scan of the whole file finds its records.
  for (const auto& [target, used] : usedBefore) {
    auto it = targets.files.find(target);
    if (it == targets.files.end() || used == 0) continue;
    std::int64_t keep = used, fileSize = 0;
    for (const Record& r : records)
      if (r.target == target) keep = std::max<std::int64_t>(keep, std::int64_t{r.block} + 1);
    std::uint32_t bytes = 0;
    for (const Record& r : records)
      if (r.target == target) bytes = r.bytes;
    keep *= bytes;
    if (const int err = fs().size(it->second, fileSize)) raiseIO(9217, u"Could not read from file", target, err);
    if (fileSize > keep)
      if (const int err = fs().truncate(it->second, keep)) raiseIO(9218, u"Could not write the table file", target, err);
  }
  for (auto& [path, id] : targets.files)
    if (const int err = fs().sync(id)) raiseIO(9218, u"Error when flushing file", path, err);
}

void Tnx1xJournalEngine::CheckKind(const nxString&, const nxString& aPath, std::int32_t aClassKind) {
  std::string dir = fs().absolutePath(platform::toUtf8(aPath));
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  const std::string folder = dir == "/" ? dir : dir + "/";
  platform::PathInfo info;
  if (dir.empty() || fs().pathInfo(dir, info) != 0 || !info.isDirectory)
    throw Enx1xJournalEngineException(nxErrAliasDirNotFound, u"The alias references a directory that does not exist.");
  std::vector<std::string> names;
  if (fs().listDirectory(dir, names) != 0) return;

  struct Journal {
    std::string path;
    std::int64_t number;
    bool complete;
    bool after;
  };
  std::vector<Journal> live;
  auto dropFile = [&](const std::string& aJournalPath) {
    if (fs().remove(aJournalPath) == 0) (void)fs().syncDirectory(dir);
  };
  for (const std::string& name : names) {
    if (endsWithWritingExtension(name)) {
      // Its commit never reached a table file.
      (void)fs().remove(folder + name);
      continue;
    }
    if (!endsWithJournalExtension(name)) continue;
    const std::string path = folder + name;
    platform::PathInfo fileInfo;
    if (fs().pathInfo(path, fileInfo) != 0 || fileInfo.isDirectory) continue;
    try {
      platform::FileOpenOptions options;
      options.access = platform::FileAccess::read;
      options.share = platform::FileShare::readWrite;
      platform::FileId id = -1;
      if (const int err = fs().open(path, options, id)) raiseIO(9221, u"File could not be opened", path, err);
      std::uint8_t header[HeaderSize];
      std::size_t got = 0;
      try {
        got = readSome(id, header, HeaderSize, 0, path);
      } catch (...) {
        fs().close(id);
        throw;
      }
      fs().close(id);
      if (got < HeaderSize) {
        // The writer died before its header was written, so before any
        // table block: nothing to replay.
        dropFile(path);
        continue;
      }
      if (std::memcmp(header, "NXJH", 4) != 0) raiseBadJournal(path, u"header");
      std::int32_t flag, kind;
      std::memcpy(&flag, header + 4, 4);
      std::memcpy(&kind, header + 8, 4);
      if (flag == 0) {
        dropFile(path);  // no table block was written
        continue;
      }
      if (flag != -1 || kind < 0 || kind > 2) raiseBadJournal(path, u"header");
      const bool after = kind == 1 || (kind == 0 && aClassKind != 2);
      live.push_back({path, journalNumber(name), true, after});
    } catch (const std::exception&) {
      // This journal stays for the next check.
    }
  }
  // Undo newest first, then redo oldest first.
  std::stable_sort(live.begin(), live.end(), [](const Journal& a, const Journal& b) {
    if (a.after != b.after) return !a.after;
    return a.after ? a.number < b.number : a.number > b.number;
  });
  for (const Journal& j : live) {
    try {
      platform::FileOpenOptions options;
      options.access = platform::FileAccess::read;
      options.share = platform::FileShare::readWrite;
      platform::FileId id = -1;
      if (const int err = fs().open(j.path, options, id)) raiseIO(9221, u"File could not be opened", j.path, err);
      try {
        ProcessJournal(platform::fromUtf8(j.path), id, j.after);
      } catch (...) {
        fs().close(id);
        throw;
      }
      fs().close(id);
      if (const int err = fs().remove(j.path)) raiseIO(9218, u"Could not delete the journal", j.path, err);
      (void)fs().syncDirectory(dir);
    } catch (const std::exception&) {
      // Left in place: tried again at the next check.
    }
  }
}

// Start-ups of this module, counted: only the first registers, the last
// finalisation unregisters.
namespace {
TnxUseCount gJournalEngineModuleStarts{0};
std::atomic<const platform::ClassInfo*> gDefaultJournalEngineClass{nullptr};
}  // namespace

const platform::ClassInfo* nxGetDefaultJournalEngineClass() {
  return gDefaultJournalEngineClass.load(std::memory_order_acquire);
}

void nxSetDefaultJournalEngineClass(const platform::ClassInfo* aClass) {
  nxAssert(!aClass || aClass->inheritsFrom(TnxBaseJournalEngine::staticClassInfo()), "Not a journal engine class");
  gDefaultJournalEngineClass.store(aClass, std::memory_order_release);
}

void nxseJournalEngineInitialize() {
  TnxCountedStart started(gJournalEngineModuleStarts);
  if (!started) return;
  platform::registerClass(Tnx1xJournalEngine::staticClassInfo());
  platform::registerClass(Tnx1xCommitJournalEngine::staticClassInfo());
  platform::registerClass(Tnx1xRollbackJournalEngine::staticClassInfo());
  nxSetDefaultJournalEngineClass(&Tnx1xRollbackJournalEngine::staticClassInfo());
}

void nxseJournalEngineFinalize() {
  if (!nxUseCountLeave(gJournalEngineModuleStarts)) return;
  nxSetDefaultJournalEngineClass(nullptr);
  platform::unregisterClass(Tnx1xRollbackJournalEngine::staticClassInfo());
  platform::unregisterClass(Tnx1xCommitJournalEngine::staticClassInfo());
  platform::unregisterClass(Tnx1xJournalEngine::staticClassInfo());
}
