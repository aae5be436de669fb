// The paths an install plan meets, level by level, each found again by its folded name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace plan {

// kOther: a link, FIFO or device found in the tree; extraction never writes through or over one.
enum class Kind : uint8_t { kNone, kFile, kDirectory, kOther };

// Where the plan finds a level's text again: the joined path (target and stored name) of the
// entry that last met it, or the target itself.
class LevelTexts {
  public:
    static constexpr uint32_t kTarget = 0xFFFFFFFFu;
    virtual ~LevelTexts() = default;
    // The joined path of entry `source` (kTarget: the target), valid until the next call; empty
    // when that entry's name can no longer be read.
    virtual std::u16string_view PathOf(uint32_t source) = 0;
};

// Every path the plan meets, level by level: one node per distinct prefix of a joined path, found
// by its parent's node and its level's folded name, so every spelling the target file system
// takes for one path (`/` for `\`, letter case) lands on one node. A node keeps a hash of the
// folded name, not the name: a match of hashes is confirmed on the name itself, found again in
// the joined path of the entry that met the node last (mostly the previous entry, still in
// memory). So a package of many long names costs a few dozen bytes per path, not its names.
class PathTable {
  public:
    static constexpr uint32_t kRoot = 0xFFFFFFFFu;

    struct Node {
        uint32_t parent;  // kRoot for a first level
        uint32_t hash;    // of the folded level name
        uint32_t source;  // the entry whose joined path holds the level (LevelTexts)
        uint32_t start;   // where the level starts in that path
        uint16_t length;
        Kind kind;
        bool known;      // the plan has decided (or the disk has told) what stands there
        int32_t origin;  // index of the entry that wrote it; -1 made as a parent; -2 found on disk
        bool planned;    // a directory this plan creates: nothing is below it on the disk yet
    };

    explicit PathTable(LevelTexts& texts) : texts_(texts) {}

    void Reserve(std::size_t nodes) {
        nodes_.reserve(nodes);
        Grow(nodes);
    }

    // The node of level `folded` below `parent`, added (not yet known) when new; `folded` stands
    // at `start` in the joined path of entry `source`, which the node refers to from now on.
    uint32_t Intern(uint32_t parent, std::u16string_view folded, uint32_t source,
                    std::size_t start) {
        if (4 * (nodes_.size() + 1) > 3 * slots_.size()) {
            Grow(nodes_.size() + 1);
        }
        const uint32_t hash = static_cast<uint32_t>(std::hash<std::u16string_view>{}(folded));
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t slot = Slot(parent, hash) & mask;; slot = (slot + 1) & mask) {
            if (slots_[slot] == 0) {
                slots_[slot] = static_cast<uint32_t>(nodes_.size()) + 1;
                nodes_.push_back({parent, hash, source, static_cast<uint32_t>(start),
                                  static_cast<uint16_t>(folded.size()), Kind::kNone, false, 0,
                                  false});
                return slots_[slot] - 1;
            }
            const uint32_t id = slots_[slot] - 1;
            Node& node = nodes_[id];
            if (node.parent == parent && node.hash == hash && node.length == folded.size() &&
                SameText(node, folded)) {
                node.source = source;
                node.start = static_cast<uint32_t>(start);
                return id;
            }
        }
    }

    Node& operator[](uint32_t id) { return nodes_[id]; }
    // A node's name could not be read again to confirm a match (the package changed).
    bool lost() const { return lost_; }

  private:
    static std::size_t Slot(uint32_t parent, uint32_t hash) {
        return hash ^ (static_cast<std::size_t>(parent) * 0x9E3779B9u);
    }
    bool SameText(const Node& node, std::u16string_view folded) {
        const std::u16string_view path = texts_.PathOf(node.source);
        if (path.size() < node.start + std::size_t{node.length}) {
            lost_ = true;
            return false;
        }
        for (std::size_t i = 0; i < folded.size(); ++i) {
            if (platform::FoldAscii(path[node.start + i]) != folded[i]) {
                return false;
            }
        }
        return true;
    }
    // At least 4/3 of `nodes` slots, a power of two; every node placed again.
    void Grow(std::size_t nodes) {
        std::size_t size = 16;
        while (3 * size < 4 * nodes) {
            size *= 2;
        }
        if (size <= slots_.size()) {
            return;
        }
        slots_.assign(size, 0);
        for (uint32_t id = 0; id < nodes_.size(); ++id) {
            std::size_t slot = Slot(nodes_[id].parent, nodes_[id].hash) & (size - 1);
            while (slots_[slot] != 0) {
                slot = (slot + 1) & (size - 1);
            }
            slots_[slot] = id + 1;
        }
    }

    LevelTexts& texts_;
    std::vector<Node> nodes_;
    std::vector<uint32_t> slots_;  // node id + 1; 0 is free
    bool lost_ = false;
};

// One level of a joined path: its node, and whether extraction's parent creation ends a
// directory there (a `\` follows it inside the stored name).
struct Level {
    std::size_t end;  // offset just past the level in the joined path
    uint32_t node;
    bool madeAsParent;
};

using Split = std::vector<Level>;

}  // namespace plan
