#include "plFaultFileSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {

namespace {

using Bytes = std::vector<std::uint8_t>;
using SharedBytes = std::shared_ptr<Bytes>;

// The image to change in place: a copy first when anyone else holds it (a
// crash point, the other image of the node, a caller of durableImage).
Bytes& owned(SharedBytes& aImage) {
  if (aImage.use_count() != 1) aImage = std::make_shared<Bytes>(*aImage);
  return *aImage;
}

// A directory as the lists keep it: "/data/db/" names "/data/db", as it
// does for the system's own calls.
std::string directoryKey(std::string aPath) {
  while (aPath.size() > 1 && aPath.back() == '/') aPath.pop_back();
  return aPath;
}

}  // namespace

struct FaultFileSystem::Node {
  // Never null. Only this file system changes them, and only when it holds
  // the sole reference, so the Images it hands out never change.
  SharedBytes data = std::make_shared<Bytes>();     // what reads see
  SharedBytes durable = std::make_shared<Bytes>();  // what a crash leaves
  std::uint64_t inode = 0;
  bool readOnly = false;
  bool symlink = false;
  std::int64_t modifiedNs = 0;
};

struct FaultFileSystem::Handle {
  std::shared_ptr<Node> node;
  std::string path;
  FileOpenOptions options;
};

FaultFileSystem::FaultFileSystem() { ffsDirectories.push_back("/"); }
FaultFileSystem::~FaultFileSystem() = default;

int FaultFileSystem::failure(Op aOp) {
  ++ffsOpCounts[static_cast<std::size_t>(aOp)];
  // Every armed fault of the kind counts this call, also when an earlier
  // one fires on it.
  int err = 0;
  for (auto it = ffsFaults.begin(); it != ffsFaults.end();) {
    if ((it->op == aOp || it->op == Op::any) && --it->countdown == 0) {
      if (err == 0) err = it->err;
      it = ffsFaults.erase(it);
    } else {
      ++it;
    }
  }
  return err;
}

std::uint64_t FaultFileSystem::operationCount(Op aOp) const {
  std::lock_guard<std::mutex> lock(ffsMutex);
  if (aOp == Op::any) {
    std::uint64_t total = 0;
    for (std::uint64_t n : ffsOpCounts) total += n;
    return total;
  }
  return ffsOpCounts[static_cast<std::size_t>(aOp)];
}

FaultFileSystem::Handle* FaultFileSystem::handleOf(FileId aFile) {
  const auto it = ffsHandles.find(aFile);
  return it == ffsHandles.end() ? nullptr : it->second.get();
}

int FaultFileSystem::open(const std::string& aPath, const FileOpenOptions& aOptions, FileId& aFile) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  aFile = -1;
  if (const int err = failure(Op::open)) return err;
  const std::string folder = folderOf(aPath);
  if (std::find(ffsDirectories.begin(), ffsDirectories.end(), folder) == ffsDirectories.end()) return ENOENT;
  if (std::find(ffsDirectories.begin(), ffsDirectories.end(), aPath) != ffsDirectories.end()) return EISDIR;
  auto it = ffsNames.find(aPath);
  if (it == ffsNames.end() && !aOptions.create) return ENOENT;
  if (it != ffsNames.end()) {
    if (it->second->readOnly && aOptions.access != FileAccess::read) return EACCES;
    for (const auto& [id, h] : ffsHandles)
      if (h->node == it->second &&
          !shareCompatible(aOptions.access, aOptions.share, h->options.access, h->options.share))
        return EWOULDBLOCK;
  }
  if (it == ffsNames.end()) {
    auto node = std::make_shared<Node>();
    node->inode = ffsNextInode++;
    node->modifiedNs = ffsClockNs;
    it = ffsNames.emplace(aPath, node).first;
  } else if (aOptions.create) {
    it->second->modifiedNs = ffsClockNs;
    it->second->data = std::make_shared<Bytes>();
    if (aOptions.writeThrough) it->second->durable = std::make_shared<Bytes>();
  }
  auto handle = std::make_unique<Handle>();
  handle->node = it->second;
  handle->path = aPath;
  handle->options = aOptions;
  aFile = ffsNextHandle++;
  ffsHandles.emplace(aFile, std::move(handle));
  return 0;
}

int FaultFileSystem::openUnnamed(const std::string& aFolder, FileId& aFile) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  aFile = -1;
  if (const int err = failure(Op::open)) return err;
  auto handle = std::make_unique<Handle>();
  handle->node = std::make_shared<Node>();
  handle->node->inode = ffsNextInode++;
  handle->node->modifiedNs = ffsClockNs;
  handle->path = (aFolder.empty() ? std::string("/tmp") : aFolder) + "/";
  handle->options.access = FileAccess::readWrite;
  handle->options.share = FileShare::none;
  aFile = ffsNextHandle++;
  ffsHandles.emplace(aFile, std::move(handle));
  return 0;
}

int FaultFileSystem::close(FileId aFile) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  return ffsHandles.erase(aFile) ? 0 : EBADF;
}

int FaultFileSystem::readAt(FileId aFile, void* aBuffer, std::size_t aCount, std::int64_t aOffset,
                            std::size_t& aDone) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  aDone = 0;
  Handle* h = handleOf(aFile);
  if (!h || h->options.access == FileAccess::write) return EBADF;
  ++ffsReads;
  if (const int err = failure(Op::read)) return err;
  if (aOffset < 0) return EINVAL;
  const Bytes& data = *h->node->data;
  if (static_cast<std::uint64_t>(aOffset) >= data.size()) return 0;
  aDone = std::min<std::size_t>(aCount, data.size() - static_cast<std::size_t>(aOffset));
  std::memcpy(aBuffer, data.data() + aOffset, aDone);
  return 0;
}

int FaultFileSystem::writeAt(FileId aFile, const void* aBuffer, std::size_t aCount, std::int64_t aOffset,
                             std::size_t& aDone) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  aDone = 0;
  Handle* h = handleOf(aFile);
  if (!h || h->options.access == FileAccess::read) return EBADF;
  ++ffsWrites;
  if (const int err = failure(Op::write)) return err;
  if (aOffset < 0) return EINVAL;
  const auto end = static_cast<std::size_t>(aOffset) + aCount;
  Node& node = *h->node;
  // After a sync both images are one; a write-through write keeps them one.
  const bool both = h->options.writeThrough && node.data == node.durable;
  if (both && node.data.use_count() != 2) node.data = node.durable = std::make_shared<Bytes>(*node.data);
  Bytes& data = both ? *node.data : owned(node.data);
  if (data.size() < end) data.resize(end);
  std::memcpy(data.data() + aOffset, aBuffer, aCount);
  node.modifiedNs = ffsClockNs;
  if (h->options.writeThrough && !both) {
    Bytes& durable = owned(node.durable);
    if (durable.size() < end) durable.resize(end);
    std::memcpy(durable.data() + aOffset, aBuffer, aCount);
  }
  ffsWriteLog.push_back({h->path, aOffset, aCount});
  aDone = aCount;
  return 0;
}

int FaultFileSystem::sync(FileId aFile) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  Handle* h = handleOf(aFile);
  if (!h) return EBADF;
  ++ffsSyncs;
  if (const int err = failure(Op::sync)) return err;
  h->node->durable = h->node->data;
  return 0;
}

int FaultFileSystem::truncate(FileId aFile, std::int64_t aSize) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  Handle* h = handleOf(aFile);
  if (!h || h->options.access == FileAccess::read) return EBADF;
  if (const int err = failure(Op::truncate)) return err;
  if (aSize < 0) return EINVAL;
  owned(h->node->data).resize(static_cast<std::size_t>(aSize));
  h->node->modifiedNs = ffsClockNs;
  return 0;
}

int FaultFileSystem::punchHole(FileId aFile, std::int64_t aOffset, std::int64_t aLength) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  Handle* h = handleOf(aFile);
  if (!h || h->options.access == FileAccess::read) return EBADF;
  if (const int err = failure(Op::punchHole)) return err;
  if (aOffset < 0 || aLength <= 0) return EINVAL;
  if (static_cast<std::uint64_t>(aOffset) >= h->node->data->size()) return 0;
  Bytes& data = owned(h->node->data);
  const std::size_t count =
      std::min<std::size_t>(static_cast<std::size_t>(aLength), data.size() - static_cast<std::size_t>(aOffset));
  std::memset(data.data() + aOffset, 0, count);
  return 0;
}

int FaultFileSystem::size(FileId aFile, std::int64_t& aSize) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  Handle* h = handleOf(aFile);
  if (!h) return EBADF;
  if (const int err = failure(Op::size)) return err;
  aSize = static_cast<std::int64_t>(h->node->data->size());
  return 0;
}

int FaultFileSystem::identity(FileId aFile, FileIdentityInfo& aInfo) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  Handle* h = handleOf(aFile);
  if (!h) return EBADF;
  aInfo = {};
  aInfo.device = 1;
  aInfo.inode = h->node->inode;
  return 0;
}

int FaultFileSystem::pathInfo(const std::string& aPath, PathInfo& aInfo) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  aInfo = {};
  if (std::find(ffsDirectories.begin(), ffsDirectories.end(), directoryKey(aPath)) != ffsDirectories.end()) {
    aInfo.isDirectory = true;
    aInfo.writable = true;
    return 0;
  }
  const auto it = ffsNames.find(aPath);
  if (it == ffsNames.end()) return ENOENT;
  aInfo.isSymlink = it->second->symlink;
  aInfo.writable = !it->second->readOnly;
  aInfo.size = static_cast<std::int64_t>(it->second->data->size());
  aInfo.modifiedNs = it->second->modifiedNs;
  return 0;
}

int FaultFileSystem::remove(const std::string& aPath) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  if (const int err = failure(Op::remove)) return err;
  return ffsNames.erase(aPath) ? 0 : ENOENT;
}

int FaultFileSystem::rename(const std::string& aFrom, const std::string& aTo) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  if (const int err = failure(Op::rename)) return err;
  const auto it = ffsNames.find(aFrom);
  if (it == ffsNames.end()) return ENOENT;
  if (ffsNames.count(aTo) || std::find(ffsDirectories.begin(), ffsDirectories.end(), aTo) != ffsDirectories.end())
    return EEXIST;
  auto node = it->second;
  ffsNames.erase(it);
  ffsNames[aTo] = node;
  return 0;
}

int FaultFileSystem::listDirectory(const std::string& aPath, std::vector<std::string>& aNames) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  const std::string folder = directoryKey(aPath);
  aNames.clear();
  if (std::find(ffsDirectories.begin(), ffsDirectories.end(), folder) == ffsDirectories.end()) return ENOENT;
  for (const auto& [name, node] : ffsNames)
    if (folderOf(name) == folder) aNames.push_back(fileNameOf(name));
  for (const std::string& dir : ffsDirectories)
    if (dir != "/" && folderOf(dir) == folder) aNames.push_back(fileNameOf(dir));
  return 0;
}

int FaultFileSystem::syncDirectory(const std::string& aPath) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  const std::string folder = directoryKey(aPath);
  ++ffsSyncs;
  if (const int err = failure(Op::syncDirectory)) return err;
  for (auto it = ffsDurable.begin(); it != ffsDurable.end();)
    it = folderOf(it->first) == folder ? ffsDurable.erase(it) : std::next(it);
  for (const auto& [name, node] : ffsNames)
    if (folderOf(name) == folder) ffsDurable[name] = node;
  return 0;
}

int FaultFileSystem::fileSystemType(const std::string& aPath, std::string& aType) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  (void)aPath;
  aType = ffsType;
  return 0;
}

std::string FaultFileSystem::absolutePath(const std::string& aPath) {
  if (!aPath.empty() && aPath.front() == '/') return normalizePath(aPath);
  std::lock_guard<std::mutex> lock(ffsMutex);
  std::string joined = ffsCwd;
  joined.push_back('/');
  joined.append(aPath);
  return normalizePath(joined);
}

int FaultFileSystem::freeSpace(const std::string&, std::uint64_t& aBytes) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  aBytes = ffsFreeSpaceErrno ? 0 : ffsFreeSpace;
  return ffsFreeSpaceErrno;
}

void FaultFileSystem::setFreeSpace(std::uint64_t aBytes, int aErrno) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  ffsFreeSpace = aBytes;
  ffsFreeSpaceErrno = aErrno;
}

int FaultFileSystem::createDirectories(const std::string& aPath) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  std::string path = aPath;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  // Every prefix ending before a '/', then the whole path.
  std::vector<std::string> parts;
  for (std::size_t p = path.find('/', 1); p != std::string::npos; p = path.find('/', p + 1))
    parts.push_back(path.substr(0, p));
  parts.push_back(path);
  for (const std::string& part : parts)
    if (ffsNames.count(part)) return ENOTDIR;
  for (const std::string& part : parts)
    if (std::find(ffsDirectories.begin(), ffsDirectories.end(), part) == ffsDirectories.end())
      ffsDirectories.push_back(part);
  return 0;
}

void FaultFileSystem::makeDirectory(const std::string& aPath) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  if (std::find(ffsDirectories.begin(), ffsDirectories.end(), aPath) == ffsDirectories.end())
    ffsDirectories.push_back(aPath);
}

void FaultFileSystem::failNext(Op aOp, int aNth, int aErrno) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  ffsFaults.push_back({aOp, aNth < 1 ? 1 : aNth, aErrno});
}

void FaultFileSystem::clearFailures() {
  std::lock_guard<std::mutex> lock(ffsMutex);
  ffsFaults.clear();
}

void FaultFileSystem::crash() {
  std::lock_guard<std::mutex> lock(ffsMutex);
  ffsHandles.clear();
  for (auto& [name, node] : ffsDurable) node->data = node->durable;
  ffsNames = ffsDurable;
}

void FaultFileSystem::setReadOnly(const std::string& aPath, bool aReadOnly) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  if (const auto it = ffsNames.find(aPath); it != ffsNames.end()) it->second->readOnly = aReadOnly;
}

void FaultFileSystem::setSymlink(const std::string& aPath, bool aIsLink) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  if (const auto it = ffsNames.find(aPath); it != ffsNames.end()) it->second->symlink = aIsLink;
}

bool FaultFileSystem::contents(const std::string& aPath, std::vector<std::uint8_t>& aData) const {
  std::lock_guard<std::mutex> lock(ffsMutex);
  const auto it = ffsNames.find(aPath);
  if (it == ffsNames.end()) return false;
  aData = *it->second->data;
  return true;
}

bool FaultFileSystem::durableContents(const std::string& aPath, std::vector<std::uint8_t>& aData) const {
  std::lock_guard<std::mutex> lock(ffsMutex);
  const auto it = ffsDurable.find(aPath);
  if (it == ffsDurable.end()) return false;
  aData = *it->second->durable;
  return true;
}

FaultFileSystem::Image FaultFileSystem::durableImage(const std::string& aPath) const {
  std::lock_guard<std::mutex> lock(ffsMutex);
  const auto it = ffsDurable.find(aPath);
  if (it == ffsDurable.end()) return nullptr;
  return it->second->durable;
}

void FaultFileSystem::putFile(const std::string& aPath, const std::vector<std::uint8_t>& aData) {
  putImage(aPath, std::make_shared<Bytes>(aData));
}

void FaultFileSystem::putImage(const std::string& aPath, Image aImage) {
  std::lock_guard<std::mutex> lock(ffsMutex);
  auto& node = ffsNames[aPath];
  if (!node) {
    node = std::make_shared<Node>();
    node->inode = ffsNextInode++;
  }
  // Changed only as the sole holder (see Node), so aImage's holders never see a change.
  node->data = node->durable = aImage ? std::const_pointer_cast<Bytes>(std::move(aImage)) : std::make_shared<Bytes>();
  node->modifiedNs = ffsClockNs;
  ffsDurable[aPath] = node;
}

std::uint64_t FaultFileSystem::writeCount() const {
  std::lock_guard<std::mutex> lock(ffsMutex);
  return ffsWrites;
}
std::uint64_t FaultFileSystem::readCount() const {
  std::lock_guard<std::mutex> lock(ffsMutex);
  return ffsReads;
}
std::uint64_t FaultFileSystem::syncCount() const {
  std::lock_guard<std::mutex> lock(ffsMutex);
  return ffsSyncs;
}
std::vector<FaultFileSystem::WriteRecord> FaultFileSystem::writes() const {
  std::lock_guard<std::mutex> lock(ffsMutex);
  return ffsWriteLog;
}
void FaultFileSystem::clearRecords() {
  std::lock_guard<std::mutex> lock(ffsMutex);
  ffsWriteLog.clear();
  ffsWrites = ffsReads = ffsSyncs = 0;
}
int FaultFileSystem::openFileCount() const {
  std::lock_guard<std::mutex> lock(ffsMutex);
  return static_cast<int>(ffsHandles.size());
}

}  // namespace platform
