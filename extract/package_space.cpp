#include "package_space.h"

#include <stdlib.h>
#include <string.h>

#include "device_rules.h"

enum { kNoNode = 0xFFFFFFFFu, kOutputFolder = 0 };
enum NodeKind { NODE_FOLDER = 0, NODE_FILE = 1 };

// A file or folder of the tree: a component of the first item whose path reaches it.
struct TreeNode {
  ZUInt32 parent;
  ZUInt32 item;
  ZUInt32 start;   // the component's first unit in the item's name
  ZUInt32 length;  // its units
  ZUInt32 hash;
  ZUInt32 next;     // in its bucket
  ZUInt32 entries;  // a folder's entries so far
  unsigned char kind;
  bool readOnly;
};

// The units of item's name, UTF-16 little-endian as the header stores them.
static const Byte* NameUnits(const CSzArEx* db, UInt32 item) {
  return db->FileNames + db->FileNameOffsets[item] * 2;
}

static ZChar UnitAt(const Byte* units, size_t i) {
  return static_cast<ZChar>(units[2 * i] | (units[2 * i + 1] << 8));
}

static size_t NameLength(const CSzArEx* db, UInt32 item) {
  return db->FileNameOffsets[item + 1] - db->FileNameOffsets[item] - 1;
}

// The next component of a name of nameLength units at or after *cursor, skipping empty and "."
// ones as the extraction does (ReadItemName): its start, its length and the hash of its units as
// the device compares names (case folded), or false when none is left.
static bool NextComponent(const Byte* units, size_t nameLength, size_t* cursor, size_t* start,
                          size_t* length, ZUInt32* hash) {
  for (;;) {
    while (*cursor < nameLength && UnitAt(units, *cursor) == ZT('/')) ++*cursor;
    if (*cursor >= nameLength) return false;
    *start = *cursor;
    *hash = 2166136261u;  // FNV-1a
    for (ZChar c; *cursor < nameLength && (c = UnitAt(units, *cursor)) != ZT('/'); ++*cursor) {
      *hash = (*hash ^ FoldCase(c)) * 16777619u;
    }
    *length = *cursor - *start;
    if (*length != 1 || UnitAt(units, *start) != ZT('.')) return true;
  }
}

// A component's hash under its parent folder.
static ZUInt32 UnderParent(ZUInt32 hash, ZUInt32 parent) { return (hash ^ parent) * 16777619u; }

static ZUInt32 EntriesOf(size_t units) {
  return static_cast<ZUInt32>(1 + (units + kUnitsPerNameEntry - 1) / kUnitsPerNameEntry);
}

static ZUInt32 Bucket(const PackageTree* tree, ZUInt32 hash) { return hash & (tree->capacity * 2 - 1); }

// Room for one more node: the nodes and their buckets doubled when full.
static bool Reserve(PackageTree* tree) {
  if (tree->count < tree->capacity) return true;
  if (tree->capacity > 0x3FFFFFFFu / sizeof(TreeNode)) return false;
  ZUInt32 capacity = tree->capacity * 2;
  TreeNode* nodes = static_cast<TreeNode*>(realloc(tree->nodes, capacity * sizeof(TreeNode)));
  if (nodes == NULL) return false;
  tree->nodes = nodes;
  ZUInt32* buckets = static_cast<ZUInt32*>(malloc(capacity * 2 * sizeof(ZUInt32)));
  if (buckets == NULL) return false;
  free(tree->buckets);
  tree->buckets = buckets;
  tree->capacity = capacity;
  memset(buckets, 0xFF, capacity * 2 * sizeof(ZUInt32));
  for (ZUInt32 i = 1; i < tree->count; i++) {
    ZUInt32* head = &buckets[Bucket(tree, nodes[i].hash)];
    nodes[i].next = *head;
    *head = i;
  }
  return true;
}

void PackageTreeInit(PackageTree* tree, const CSzArEx* db, ZUInt32 clusterBytes, size_t copyNameLength) {
  memset(tree, 0, sizeof *tree);
  tree->db = db;
  tree->clusterBytes = clusterBytes;
  // Most packages hold an item for every folder: one node per item, and a few to spare.
  ZUInt32 capacity = 16;
  while (capacity < db->NumFiles + 1 && capacity <= 0x3FFFFFFFu / sizeof(TreeNode)) capacity *= 2;
  tree->nodes = static_cast<TreeNode*>(malloc(capacity * sizeof(TreeNode)));
  tree->buckets = static_cast<ZUInt32*>(malloc(capacity * 2 * sizeof(ZUInt32)));
  if (tree->nodes == NULL || tree->buckets == NULL) {
    tree->failed = true;
    return;
  }
  tree->capacity = capacity;
  memset(tree->buckets, 0xFF, capacity * 2 * sizeof(ZUInt32));
  TreeNode* top = &tree->nodes[kOutputFolder];
  memset(top, 0, sizeof *top);
  top->parent = kNoNode;
  top->kind = NODE_FOLDER;
  top->entries = 2 + EntriesOf(copyNameLength);
  tree->count = 1;
}

// The node of parent's entry named by the component (start, length in units), or kNoNode.
static ZUInt32 Find(const PackageTree* tree, ZUInt32 parent, const Byte* units, size_t start, size_t length,
                    ZUInt32 hash) {
  for (ZUInt32 i = tree->buckets[Bucket(tree, hash)]; i != kNoNode; i = tree->nodes[i].next) {
    const TreeNode& node = tree->nodes[i];
    if (node.hash != hash || node.parent != parent || node.length != length) continue;
    const Byte* other = NameUnits(tree->db, node.item);
    size_t k = 0;
    while (k < length && FoldCase(UnitAt(other, node.start + k)) == FoldCase(UnitAt(units, start + k))) k++;
    if (k == length) return i;
  }
  return kNoNode;
}

// A new entry of parent for the component; its folder's entries count it.
static int AddNode(PackageTree* tree, ZUInt32 parent, UInt32 item, size_t start, size_t length,
                   ZUInt32 hash, NodeKind kind, ZUInt32* added) {
  ZUInt32 entries = EntriesOf(length);
  if (tree->nodes[parent].entries + entries > kFolderEntriesMost) return TREE_FOLDER_FULL;
  if (!Reserve(tree)) {
    tree->failed = true;
    return TREE_NO_MEMORY;
  }
  tree->nodes[parent].entries += entries;
  TreeNode* node = &tree->nodes[tree->count];
  node->parent = parent;
  node->item = item;
  node->start = static_cast<ZUInt32>(start);
  node->length = static_cast<ZUInt32>(length);
  node->hash = hash;
  node->entries = 2;  // "." and ".."
  node->kind = static_cast<unsigned char>(kind);
  node->readOnly = false;
  ZUInt32* head = &tree->buckets[Bucket(tree, hash)];
  node->next = *head;
  *head = tree->count;
  *added = tree->count++;
  return TREE_ADDED;
}

static bool IsReadOnly(const CSzArEx* db, UInt32 item) {
  return SzBitWithVals_Check(&db->Attribs, item) && (db->Attribs.Vals[item] & PLAT_ATTR_READONLY) != 0;
}

// A file item written at node: its clusters, and whether a later item of its name can replace it.
static void CountFile(PackageTree* tree, TreeNode* node, UInt32 item) {
  node->readOnly = IsReadOnly(tree->db, item);
  ZUInt64 clusters = WholeClusters(SzArEx_GetFileSize(tree->db, item), tree->clusterBytes);
  tree->fileClusters = SaturatingSum(tree->fileClusters, clusters);
}

int PackageTreeAdd(PackageTree* tree, UInt32 item, UInt32* other) {
  if (tree->failed) return TREE_NO_MEMORY;
  const CSzArEx* db = tree->db;
  bool isDirectory = SzArEx_IsDir(db, item);
  const Byte* units = NameUnits(db, item);
  size_t nameLength = NameLength(db, item);
  size_t cursor = 0, start = 0, length = 0;
  ZUInt32 parent = kOutputFolder, nameHash = 0;
  bool more = NextComponent(units, nameLength, &cursor, &start, &length, &nameHash);
  while (more) {
    size_t nextStart = 0, nextLength = 0;
    ZUInt32 nextHash = 0;
    more = NextComponent(units, nameLength, &cursor, &nextStart, &nextLength, &nextHash);
    NodeKind kind = more || isDirectory ? NODE_FOLDER : NODE_FILE;
    ZUInt32 hash = UnderParent(nameHash, parent);
    ZUInt32 found = Find(tree, parent, units, start, length, hash);
    if (found == kNoNode) {
      int added = AddNode(tree, parent, item, start, length, hash, kind, &found);
      if (added != TREE_ADDED) {
        *other = item;
        return added;
      }
      if (kind == NODE_FILE) CountFile(tree, &tree->nodes[found], item);
    } else {
      TreeNode* node = &tree->nodes[found];
      *other = node->item;
      if (node->kind == NODE_FILE && kind == NODE_FOLDER) {
        return more ? TREE_FILE_ON_THE_WAY : TREE_FOLDER_OVER_FILE;
      }
      if (node->kind == NODE_FOLDER && kind == NODE_FILE) return TREE_FILE_OVER_FOLDER;
      if (kind == NODE_FILE) {
        if (node->readOnly) return TREE_OVER_READ_ONLY;
        // Both files' clusters are counted: the earlier one's go only as the later one is written.
        CountFile(tree, node, item);
        return TREE_SAME_FILE;
      }
    }
    parent = found;
    start = nextStart;
    length = nextLength;
    nameHash = nextHash;
  }
  return TREE_ADDED;
}

ZUInt64 PackageTreeClusters(const PackageTree* tree) {
  ZUInt64 clusters = tree->fileClusters;
  for (ZUInt32 i = 0; i < tree->count; i++) {
    const TreeNode& node = tree->nodes[i];
    if (node.kind != NODE_FOLDER) continue;
    ZUInt64 folder = WholeClusters(static_cast<ZUInt64>(node.entries) * kFolderEntryBytes, tree->clusterBytes);
    clusters = SaturatingSum(clusters, i == kOutputFolder ? folder - 1 : folder);
  }
  return clusters;
}

void PackageTreeFree(PackageTree* tree) {
  free(tree->nodes);
  free(tree->buckets);
  memset(tree, 0, sizeof *tree);
}
