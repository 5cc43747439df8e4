#pragma once
// The file tree of the disc being written: which source files go into which
// directories under which names. The image builder lays it out, the cache
// thread reads the sources it names, the verify thread walks it again.
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace yux::disc {

constexpr size_t kMaxFiles = 200000;
constexpr size_t kMaxDirectories = 65000;
constexpr size_t kMaxNameLength = 218;  // names this long or longer are skipped
constexpr uint32_t kAttrReadOnly = 0x01, kAttrHidden = 0x02, kAttrDirectory = 0x10,
                   kAttrArchive = 0x20, kAttrNormal = 0x80;

struct TSystemTime {
  uint16_t year = 0, month = 0, dayOfWeek = 0, day = 0, hour = 0, minute = 0, second = 0,
           milliseconds = 0;
  bool operator==(const TSystemTime&) const = default;
};

// What a directory listing says about one file or folder.
struct TFindData {
  std::u16string fileName;
  std::u16string alternateFileName;  // 8.3 name when the file system has one
  uint32_t attributes = kAttrArchive;
  uint64_t size = 0;
  int64_t lastWriteUtc = 0;  // seconds since 1970, UTC
};

struct TDirectory;

// A source file the image cannot take, and why.
struct TRefusedFile {
  std::string source;
  std::u16string name;  // the name it was to have on the disc
  std::string reason;
};

// One extent of a file's data: its absolute block and its length in bytes.
struct TExtent {
  uint32_t block = 0;
  uint32_t length = 0;
  bool operator==(const TExtent&) const = default;
};

struct TFileEntry {
  std::string shortName;        // 8.3, upper case
  std::u16string longName;      // display name
  std::u16string jolietName;    // the name written to Joliet (cut to fit a record)
  std::string sourcePath;       // empty for directories and imported entries
  TSystemTime modified;         // local time
  uint64_t size = 0;
  uint32_t block = 0;           // relative to the file area, or absolute when imported
  bool imported = false;
  // A carried-over file recorded in several extents (a file of 4 GB or
  // more from another program): all of them, in order; block is the first.
  std::vector<TExtent> extents;
  uint32_t attributes = 0;
  uint8_t origin = 0;           // 1: session import or directory creation; 0: InsertFile
  TDirectory* subdir = nullptr; // for a directory entry
  TDirectory* parent = nullptr;
  std::string md5;              // filled by the verify thread
  uint32_t udfBlock = 0;        // block of its UDF file entry (from the session start)
  std::u16string udfName;       // the name written to UDF (cut to fit an identifier)
  uint32_t udfUniqueId = 0;
  bool IsDirectory() const { return attributes & kAttrDirectory; }
};

struct TDirectory {
  TDirectory* parent = nullptr;  // the root is its own parent
  TFileEntry* entry = nullptr;   // its entry in the parent (null for the root)
  std::u16string longName;
  std::string shortName;
  std::vector<TFileEntry*> files;  // in insertion order until the layout sorts it
  // layout: the entries in the order of the Joliet records (the ISO 9660
  // order is the order of `files`), and the directory's number and its
  // parent's in each path table
  std::vector<TFileEntry*> jolietFiles;
  uint32_t number = 0, parentNumber = 0;
  uint32_t jolietNumber = 0, jolietParentNumber = 0;
  uint32_t isoExtent = 0, isoLength = 0, jolietExtent = 0, jolietLength = 0;
  uint32_t udfBlock = 0, udfLength = 0;  // file entry block; identifier bytes
  uint32_t udfIdBlock = 0;                // first block of its identifiers
  int depth = 0;
  // lookups: upper-cased long name -> entry, and the 8.3 names in use
  std::unordered_map<std::u16string, TFileEntry*> byName;
  std::unordered_set<std::string> shortNames;
  std::unordered_map<std::string, uint32_t> shortTails;  // next ~N per basis
};

// One block of the UDF file-entry area, in the order the layout assigned
// them: a directory's file entry, one of its identifier blocks, or a file's
// file entry.
struct TUdfUnit {
  enum Kind : uint8_t { DirectoryEntry, Identifiers, FileEntry } kind = FileEntry;
  TDirectory* dir = nullptr;
  TFileEntry* file = nullptr;
  uint32_t index = 0;  // identifier block within the directory
};

struct TImageLayout {
  uint32_t sessionStart = 0, volumeBase = 0;
  uint32_t primaryBlock = 16, enhancedBlock = 0, bootRecordBlock = 0, jolietBlock = 0,
           terminatorBlock = 0;
  uint32_t isoPathTableSize = 0, isoLTable = 0, isoMTable = 0;
  uint32_t jolietPathTableSize = 0, jolietLTable = 0, jolietMTable = 0;
  uint32_t isoDirStart = 0, isoDirBlocks = 0, jolietDirStart = 0, jolietDirBlocks = 0;
  uint32_t bootCatalogBlock = 0, bootImageBlock = 0;
  uint32_t paddingBlocks = 0;
  uint32_t fileAreaStart = 0, totalFileBlocks = 0, imageEnd = 0;
  bool ISO9660v1999FS = false;
  bool JolietFileSystem = true;
  bool UDFBridge = false;
  bool prepared = false;
  // Blocks the header generation produces (everything before the UDF
  // file-entry area, or before the file area without the bridge).
  uint32_t headerBlocks = 0;
  // UDF bridge (blocks from the session start unless said otherwise)
  uint8_t udfTime[12] = {};
  uint32_t udfVrsStart = 0;
  uint32_t udfAreaStart = 0, udfAreaBlocks = 0;
  // The partition: absolute on the disc, from the session's file set
  // descriptor, or from the first data of an earlier session's file that
  // the tree carries over, to the block before the closing anchor.
  uint32_t udfPartitionStart = 257;
  uint32_t udfPartitionLength = 0;
  uint32_t udfLowestImported = 0xFFFFFFFFu;
  uint32_t udfDirectories = 0, udfFiles = 0;
  bool udfEndAligned = false;  // the data ended on a 64 KB boundary
  int state = 0;  // 6 preparing, 8 importing, 0 idle
};

class TTreeContext {
 public:
  TTreeContext();
  ~TTreeContext();
  TTreeContext(const TTreeContext&) = delete;
  TTreeContext& operator=(const TTreeContext&) = delete;

  // Empties the tree (root only), recomputes the time-zone offset, clears
  // the boot image and the image buffer.
  void ClearFiles();
  // Adds a source file to the directory with the given disc path ("\" or
  // empty for the root). Null when the source or the directory is missing,
  // the tables are full, or the file is too large for the image; see
  // lastError for the reason of a refusal. Every source file refused, here
  // or later (YieldToImportedFolder), is listed in `refused`.
  TFileEntry* InsertFile(const std::string& destination, const std::string& source);
  // Inserts from find data; returns the entry, SkippedMarker() when the
  // handler or the name length skipped it, or null when refused. A file
  // carried over from an earlier session gives its extents: its data stays
  // where they say (even at block 0) and takes no blocks of the new session.
  TFileEntry* InsertEntry(const std::u16string& name, TDirectory* dir, const TFindData& fd,
                          uint8_t origin, uint32_t importedBlock, const std::string& source,
                          const std::vector<TExtent>* importedExtents = nullptr);
  // A folder of the session being imported keeps its name and its files:
  // a source file inserted under that name is taken out of the tree and
  // listed as refused.
  void YieldToImportedFolder(TDirectory* dir, const std::u16string& name);
  // Takes a file carried over from an earlier session out of the tree
  // (before layout), so that the new session no longer holds it.  False,
  // changing nothing, when `dir` has no such file: a folder or a file of
  // the new session is never taken.
  bool RemoveImportedFile(TDirectory* dir, const std::u16string& name);
  // Creates (or finds) the subdirectory named in fd under parent.
  TDirectory* CreateDirectory(TDirectory* parent, const TFindData& fd);
  TDirectory* FindDirectory(const std::u16string& path) const;
  TDirectory* FindDirectory(const std::string& path) const;
  std::u16string DirectoryPath(const TDirectory* dir) const;
  bool SetBootImage(const std::string& path);
  TFileEntry* FindEntry(const TDirectory* dir, const std::u16string& name) const;

  static TFileEntry* SkippedMarker();

  // --- state ---
  std::vector<std::unique_ptr<TFileEntry>> files;          // the file table
  std::vector<std::unique_ptr<TDirectory>> directories;    // in creation order
  std::vector<TDirectory*> pathTable;                      // in ISO path-table order
  std::vector<TDirectory*> jolietPathTable;                // in Joliet path-table order
  TDirectory* root = nullptr;
  int timeZoneOffset = 0;  // 15-minute units east of GMT
  std::string bootImagePath;
  uint64_t bootImageSize = 0;
  bool ReplaceFile = false;
  std::function<void(const std::string& source, const TFindData& fd, bool& skip)> OnAddFile;
  std::string volumeLabel;
  TImageLayout layout;
  std::vector<TUdfUnit> udfUnits;
  std::vector<uint8_t> imageBuffer;
  uint64_t outputPosition = 0;
  std::ostream* outputStream = nullptr;
  std::string lastError;
  std::vector<TRefusedFile> refused;  // since ClearFiles

 private:
  std::string MakeShortName(TDirectory* dir, const TFindData& fd, bool isDirectory) const;
  // Records a refusal of a source file (for the caller's log) in lastError
  // and `refused`; null for InsertEntry's caller.
  TFileEntry* Refuse(const std::string& source, const std::u16string& name,
                     const std::string& reason);
  // Takes an entry without a subdirectory out of the tree (before layout).
  void RemoveEntry(TFileEntry* e);
};

// Where a carried-over file's data lies on the disc, in order.
std::vector<TExtent> ImportedExtents(const TFileEntry& e);

// 8.3 name rules shared with the session import.
bool IsValidShortName(const std::string& upper, bool isDirectory);
std::u16string FoldName(const std::u16string& name);

// Local time of a UTC time stamp, and the current offset from GMT in
// 15-minute units (rounded down).
TSystemTime LocalTimeOf(int64_t utcSeconds);
int CurrentTimeZoneOffset();

}  // namespace yux::disc
