// The whole-table copy tasks: the restructure task (restructure, pack and
// backup: every record through record mappers into a target table, then,
// in one database, the target takes the source's place) and the recovery
// task (the raw blocks of a damaged table, each record the record engine
// still finds stored in a target table, or in a table for failed records).
// Part of nxsrServerEngine: include nxsrServerEngine.h, not this header.
//
// Contracts:
// - A container owns its nodes (and through them every cursor) and its
//   databases (one object when source and target share it). Its creation
//   takes the caller's cursors over only on success: a creation that
//   raises leaves them with the caller.
// - The task thread is the only user of a container's cursors and
//   databases while it runs; Execute frees the nodes and the databases
//   before it ends; destruction frees what is left (a task that never ran).
// - Restructure in one database: on success the target carries the source
//   name and the source is gone; on failure the source is as it was and
//   the target deleted. A backup leaves the target in the other database.
// - Recovery commits what it rescued up to where the walk ended, also on a
//   cancel; the source is never changed.
// - Nested tables are named by their mapping: the source is the source
//   name + p (p: ":" + name per level); the target part is MapTo ("." when
//   empty): one beginning with "." is relative to the same path in the
//   target (target + p + ":" + part), any other names a nested table right
//   under the target root (target + ":" + part).
#pragma once

#include <cstdint>
#include <vector>

#include "nxsrServerEngineCursor.h"
#include "nxsrServerTasks.h"

class TnxServerDatabase;
class TnxServerRootTable;
class TnxBaseTableMapperDescriptor;
class TnxBaseRecordMapperDescriptor;
class TnxBaseRecordMapperEngine;
class TnxBaseBulkBuilder;
class TnxServerRestructureContainer;
class TnxServerRecoverContainer;

// A thread's recovery mode for the life of the guard: tables it opens get
// no index or full-text engines, its cursors no default or validation
// handlers.
class TnxRecoveryModeGuard {
 public:
  TnxRecoveryModeGuard();
  ~TnxRecoveryModeGuard();
  TnxRecoveryModeGuard(const TnxRecoveryModeGuard&) = delete;
  TnxRecoveryModeGuard& operator=(const TnxRecoveryModeGuard&) = delete;

 private:
  bool rmgPrevious;
};

// The source and target names of one nested table mapping reached by
// aPath (":" + name per level) with aMapTo.
nxString nxRestructureTargetName(const nxString& aTargetRoot, const nxString& aPath, const nxString& aMapTo);

class TnxServerRestructureNode : public TnxObject {
  PL_CLASS_INFO_DECL()
  friend class TnxServerRestructureContainer;

 public:
  // Takes both cursors over; aMapperDesc (not owned) nil: no copy.
  TnxServerRestructureNode(TnxServerRestructureContainer* aOwner, TnxServerTableCursor* aSourceCursor,
                           TnxServerTableCursor* aTargetCursor, TnxBaseRecordMapperDescriptor* aMapperDesc);
  ~TnxServerRestructureNode() override;
  TnxServerRestructureNode(const TnxServerRestructureNode&) = delete;
  TnxServerRestructureNode& operator=(const TnxServerRestructureNode&) = delete;

  // Copies every record; raises the error as an engine exception.
  void Execute();

  TnxServerTableCursor* SourceCursor() const { return srnSourceCursor; }
  TnxServerTableCursor* TargetCursor() const { return srnTargetCursor; }
  std::uint32_t RecordCount() const { return srnRecordCount; }

  std::uint32_t RecordsWritten = 0;
  std::uint32_t RecordsRead = 0;

 private:
  TnxRecordIteratorResult RecordStep(PnxRecordBuffer aRecord);

  TnxServerRestructureContainer* srnOwner;
  TnxServerTableCursor* srnSourceCursor = nullptr;  // owned
  TnxServerTableCursor* srnTargetCursor = nullptr;  // owned
  TnxBaseRecordMapperDescriptor* srnMapperDesc = nullptr;
  std::uint32_t srnRecordCount = 0;
  TnxBaseBulkBuilder* srnBulkBuilder = nullptr;
  std::vector<std::uint8_t> srnBuffer;
  TnxResult srnError = 0;
  bool TransactionStarted = false;
  TnxBaseRecordMapperEngine* RecordMapper = nullptr;
};

class TnxServerRestructureContainer : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // Raises on failure; the caller keeps its cursors and databases then.
  TnxServerRestructureContainer(TnxServerTableCursor* aSourceCursor, TnxBaseTableMapperDescriptor* aMapperDesc,
                                TnxServerTableCursor* aTargetCursor);
  ~TnxServerRestructureContainer() override;
  TnxServerRestructureContainer(const TnxServerRestructureContainer&) = delete;
  TnxServerRestructureContainer& operator=(const TnxServerRestructureContainer&) = delete;

  // The copy and, in one database, the swap; the result goes to the task.
  void Execute();
  // The sum of the nodes' record counts.
  std::uint32_t GetRecordCount() const;
  // Current := base + the counts; true when the task is cancelled.
  bool MakeSnapshot(std::uint32_t aRead, std::uint32_t aWritten, TnxResult aErrorCode);
  std::int32_t NodeCount() const { return static_cast<std::int32_t>(srcNodes.size()); }
  TnxServerRestructureNode* Node(std::int32_t aIndex) const { return srcNodes.at(static_cast<std::size_t>(aIndex)); }
  const nxString& SourceName() const { return srcSourceName; }
  const nxString& TargetName() const { return srcTargetName; }
  TnxServerDatabase* SourceDatabase() const { return srcSourceDatabase; }

  TnxServerTaskInfo* srcOwner = nullptr;

 private:
  void srcAddNested(TnxBaseTableMapperDescriptor* aMapping, const nxString& aPath);
  void srcCopyStreams();
  TnxResult srcSwap(TnxResult aResult);
  void srcFreeNodes(bool aBackward) noexcept;
  void srcFreeDatabases() noexcept;

  std::vector<TnxServerRestructureNode*> srcNodes;  // owned
  TnxServerDatabase* srcSourceDatabase = nullptr;    // owned
  TnxServerDatabase* srcTargetDatabase = nullptr;    // owned (once when the same)
  TnxBaseTableMapperDescriptor* srcMapperDesc = nullptr;  // owned
  nxString srcPassword;
  nxString srcSourceName;
  nxString srcTargetName;
  std::uint32_t srcBaseRecordsRead = 0;
  std::uint32_t srcBaseRecordsWritten = 0;
  std::uint32_t srcCurrentRecordsRead = 0;
  std::uint32_t srcCurrentRecordsWritten = 0;
};

class TnxServerRestructureTaskInfo : public TnxServerTaskInfo {
  PL_CLASS_INFO_DECL()
 public:
  // Takes aContainer over.
  explicit TnxServerRestructureTaskInfo(TnxServerRestructureContainer* aContainer);
  ~TnxServerRestructureTaskInfo() override;
  void Execute() override;
  TnxServerRestructureContainer* Container() const { return rtiContainer; }

 private:
  TnxServerRestructureContainer* rtiContainer = nullptr;  // owned
};

// What the block walk hands to the record copy: the record in work, the
// two target cursors, the walk's error, the transaction levels open on the
// target (1 while the walk runs), the BLOB fields, the file and block.
struct TnxRecoverCookie {
  PnxRecordBuffer rcRecord = nullptr;
  TnxServerTableCursor* rcTarget = nullptr;
  TnxServerTableCursor* rcFailed = nullptr;
  TnxResult rcError = 0;
  std::int32_t rcLevels = 0;
  const std::vector<std::int32_t>* rcBlobFields = nullptr;
  std::int32_t rcFileIndex = 0;
  TnxBlockNumber rcBlockNr = 0;
};

class TnxServerRecoverNode : public TnxObject {
  PL_CLASS_INFO_DECL()
  friend class TnxServerRecoverContainer;

 public:
  // Takes the three cursors over; carries the source's auto-increment value
  // to both targets.
  TnxServerRecoverNode(TnxServerRecoverContainer* aOwner, TnxServerTableCursor* aSourceCursor,
                       TnxServerTableCursor* aTargetCursor, TnxServerTableCursor* aFailedCursor);
  ~TnxServerRecoverNode() override;
  TnxServerRecoverNode(const TnxServerRecoverNode&) = delete;
  TnxServerRecoverNode& operator=(const TnxServerRecoverNode&) = delete;

  TnxServerTableCursor* SourceCursor() const { return srnSourceCursor; }
  std::int32_t ID() const { return srnID; }
  std::int32_t FileNumber() const { return srnFileNumber; }

 private:
  TnxServerRecoverContainer* srnOwner;
  TnxServerTableCursor* srnSourceCursor = nullptr;  // owned
  TnxServerTableCursor* srnTargetCursor = nullptr;  // owned
  TnxServerTableCursor* srnFailedCursor = nullptr;  // owned
  std::vector<std::int32_t> srnBlobFields;
  std::int32_t srnID = -1;
  std::int32_t srnFileNumber = 0;
};

class TnxServerRecoverContainer : public TnxObject {
  PL_CLASS_INFO_DECL()
 public:
  // Raises on failure; the caller keeps its cursors and databases then.
  TnxServerRecoverContainer(TnxServerTableCursor* aSourceCursor, TnxServerTableCursor* aTargetCursor,
                            TnxServerTableCursor* aFailedCursor);
  ~TnxServerRecoverContainer() override;
  TnxServerRecoverContainer(const TnxServerRecoverContainer&) = delete;
  TnxServerRecoverContainer& operator=(const TnxServerRecoverContainer&) = delete;

  void Execute();
  // The physical blocks of the files walked.
  std::uint32_t GetTotalBlockCount() const;
  bool MakeSnapshot(std::uint32_t aRead, std::uint32_t aWritten, TnxResult aErrorCode);
  std::int32_t NodeCount() const { return static_cast<std::int32_t>(srcNodes.size()); }
  TnxServerRecoverNode* Node(std::int32_t aIndex) const { return srcNodes.at(static_cast<std::size_t>(aIndex)); }
  const nxString& TargetName() const { return srcTargetName; }
  const nxString& FailedName() const { return srcFailedName; }

  TnxServerTaskInfo* srcOwner = nullptr;

 private:
  void srcAddNested(TnxBaseTableMapperDescriptor* aMapping, const nxString& aPath);
  TnxBlockIteratorResult srcBlockStep(TnxRecoverCookie& aCookie, TnxBlockNumber aBlockNr, PnxBlock aBlock);
  void srcFreeNodes() noexcept;
  void srcFreeDatabases() noexcept;

  std::vector<TnxServerRecoverNode*> srcNodes;  // owned
  TnxServerRootTable* srcSourceRootTable = nullptr;
  TnxServerDatabase* srcSourceDatabase = nullptr;  // owned
  TnxServerDatabase* srcTargetDatabase = nullptr;  // owned (once when the same)
  nxString srcPassword;
  nxString srcSourceName;
  nxString srcTargetName;
  nxString srcFailedName;
  std::uint32_t srcBaseBlocksRead = 0;
  std::uint32_t srcBaseBlocksWritten = 0;
  std::uint32_t srcCurrentBlocksRead = 0;
  std::uint32_t srcCurrentBlocksWritten = 0;
  std::uint32_t srcBlocksRead = 0;
  std::uint32_t srcBlocksWritten = 0;
  std::vector<std::vector<TnxServerRecoverNode*>> srcIDMap;
  std::vector<TnxBaseFile*> srcFiles;
};

class TnxServerRecoverTaskInfo : public TnxServerTaskInfo {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxServerRecoverTaskInfo(TnxServerRecoverContainer* aContainer);
  ~TnxServerRecoverTaskInfo() override;
  void Execute() override;
  TnxServerRecoverContainer* Container() const { return rtiContainer; }
  // Names of the tables the recovery writes: a recovery that ends well
  // names them in its status text.
  void SetTableNames(const nxString& aRecovered, const nxString& aFailed);

 private:
  TnxServerRecoverContainer* rtiContainer = nullptr;  // owned
  nxString rtiRecoveredName;
  nxString rtiFailedName;
};
