// The extraction plan: names resolved as the target file system resolves them, checked against
// each other and against the tree that stays, before anything is written.
#include "package/install_plan.h"

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <string_view>

#include "package/layout.h"
#include "package/name_rules.h"
#include "package/package_entry.h"
#include "package/path_table.h"
#include "package/plan_items.h"
#include "platform/file.h"
#include "platform/text.h"

namespace {

bool IsSeparator(char16_t c) {
    return c == u'\\' || c == u'/';
}

using plan::CatalogueList;
using plan::ItemList;
using plan::Kind;
using plan::Level;
using plan::LevelTexts;
using plan::PathTable;
using plan::PlanFaultOf;
using plan::Split;

class PlanEntryList final : public ItemList {
  public:
    explicit PlanEntryList(const std::vector<PlanEntry>& entries) : entries_(entries) {}
    uint32_t Count() const override { return static_cast<uint32_t>(entries_.size()); }
    bool Directory(uint32_t i) const override { return entries_[i].directory; }
    uint64_t Size(uint32_t i) const override { return entries_[i].size; }
    PlanFault Name(uint32_t i, std::u16string_view& name) override {
        name = entries_[i].name;
        return PlanFaultOf(CheckEntryName(name, entries_[i].directory, NameUse::kRead));
    }

  private:
    const std::vector<PlanEntry>& entries_;
};

// A stored name without its leading `\`s and, for a directory entry, its one trailing `\`: the
// part that names levels, once the name rule (name_rules.h) has accepted it as a reader does. It
// may still hold a doubled `\`; the levels of a joined path skip its empty piece.
std::u16string_view NameLevels(std::u16string_view name, bool directory) {
    std::size_t start = 0;
    while (start < name.size() && name[start] == u'\\') {
        ++start;
    }
    std::size_t end = name.size();
    if (directory && end > start && name[end - 1] == u'\\') {
        --end;
    }
    return name.substr(start, end - start);
}

// Whether `levels` lands on `key` (folded, single `\`s): `/` opened like `\`, a run of
// separators one, letter case aside. Told unit by unit, so another name is told from the first
// unit that differs.
bool LandsOn(std::u16string_view levels, std::u16string_view key) {
    std::size_t k = 0;
    bool separator = false;  // the last unit landed was a separator
    for (const char16_t c : levels) {
        if (IsSeparator(c)) {
            if (k > 0 && separator) {
                continue;
            }
            separator = true;
            if (k == key.size() || key[k] != u'\\') {
                return false;
            }
        } else {
            separator = false;
            if (k == key.size() || key[k] != platform::FoldAscii(c)) {
                return false;
            }
        }
        ++k;
    }
    return k == key.size();
}

// The first letters of the scratch bases a plan may choose from, in order of preference: the base
// is platform::kScratchBase with its first letter replaced. Each letter stands for one base, so a
// level blocks at most one of them; all are kept by the device's file system in any letter case.
constexpr std::u16string_view kScratchFirsts =
    u"~_$#!-@&%^'(){}`0123456789abcdefghijklmnopqrstuvwxyz";

// The base a level starting with unit `first` may be a scratch name of: its place in
// kScratchFirsts, npos for none. Looked up for every level of every name.
std::size_t ScratchCandidate(char16_t first) {
    static constexpr auto kPlaces = [] {
        std::array<uint8_t, 0x80> places{};
        places.fill(UINT8_MAX);
        for (std::size_t k = 0; k < kScratchFirsts.size(); ++k) {
            places[kScratchFirsts[k]] = static_cast<uint8_t>(k);
        }
        return places;
    }();
    const char16_t folded = platform::FoldAscii(first);
    if (folded >= kPlaces.size() || kPlaces[folded] == UINT8_MAX) {
        return std::u16string_view::npos;
    }
    return kPlaces[folded];
}

class Planner final : public LevelTexts {
  public:
    Planner(const PlanOptions& options, InstallPlan& plan)
        : options_(options), plan_(plan), paths_(*this) {
        if (options_.target != nullptr) {
            target_ = options_.target;
        }
        limitLength_ = options_.limitFolder != nullptr
                           ? std::u16string_view(options_.limitFolder).size()
                           : target_.size();
        query_ = options_.attributes != nullptr ? options_.attributes : &platform::GetAttributes;
        // Levels of the target itself: all of them when it ends with a separator; otherwise its
        // partial last level joins the first level of every name and belongs to the names.
        targetLevels_ = Levels(target_, target_.size(), kTarget).size();
        if (targetLevels_ > 0 && !IsSeparator(target_.back())) {
            --targetLevels_;
        }
    }

    // One pass over the names, in catalogue order: each is checked, taken into the order and the
    // scratch bases, and placed, so a catalogue whose names are read from the card is read once
    // (the manifest, placed last, once more). A refusal is the one separate passes would give:
    // any name's fault before the manifest rules', those before the scratch base's and the
    // target's, and all of them before the first entry that cannot be placed; so placing stops at
    // such an entry while the names after it are still checked.
    bool Run(ItemList& entries) {
        if (!Begin(entries)) {
            return false;
        }
        for (uint32_t i = 0; i < entries.Count(); ++i) {
            if (!Take(i)) {
                return false;
            }
        }
        return End();
    }

    // The same pass in three calls, for names handed over as something else reads them (the
    // parse of a catalogue): Begin, Take for each entry in catalogue order, End. Each returns
    // false once the plan is refused; names taken after that change nothing.
    bool Begin(ItemList& entries) {
        const uint32_t count = entries.Count();
        if (count > kPackageMaxEntries) {
            refused_ = true;
            return Refuse(PlanFault::kTooManyEntries, 0);
        }
        items_ = &entries;
        plan_.order.reserve(count);
        blocked_.assign(kScratchFirsts.size(), false);
        paths_.Reserve(count + 16);
        if (options_.verdictOnly) {
            plan_.replaces.assign(count, false);
        } else {
            plan_.steps.reserve(count);
        }
        targetExists_ = TargetExists();
        placing_ = targetExists_;
        return true;
    }

    bool Take(uint32_t i) {
        if (refused_) {
            return false;
        }
        std::u16string_view name;
        if (const PlanFault fault = items_->Name(i, name); fault != PlanFault::kNone) {
            refused_ = true;
            return Refuse(fault, i);
        }
        const std::u16string_view levels = NameLevels(name, items_->Directory(i));
        bool manifest = false;
        if (ordered_) {
            ordered_ = Order(i, levels, manifest);
            placing_ = placing_ && ordered_;
        }
        BlockScratchBases(i, levels);
        if (placing_ && !manifest && !Place(i)) {
            placing_ = false;
            placeFault_ = plan_.fault;
            placeEntry_ = plan_.faultEntry;
        }
        return true;
    }

    bool End() {
        if (refused_ || !ordered_) {
            return false;  // plan_.fault is a name's or the manifest rules' refusal
        }
        if (plan_.manifest != kPlanNoEntry) {
            plan_.order.push_back(plan_.manifest);
        }
        if (!ChooseScratchBase()) {
            return false;
        }
        if (!targetExists_) {
            return Refuse(PlanFault::kTargetMissing, plan_.order.empty() ? 0 : plan_.order[0]);
        }
        if (placeFault_ != PlanFault::kNone) {
            return Refuse(placeFault_, placeEntry_);
        }
        if (plan_.manifest != kPlanNoEntry && !Place(plan_.manifest)) {
            return false;
        }
        return KeepScratchOffTheTree();
    }

  private:
    bool Refuse(PlanFault fault, uint32_t entry) {
        plan_.fault = fault;
        plan_.faultEntry = entry;
        return false;
    }

    // Entry i (`levels`, its name as NameLevels cuts it) in the extraction order, under the
    // manifest rules: false when they refuse it. The manifest is held back (`manifest`), to go
    // last.
    bool Order(uint32_t i, std::u16string_view levels, bool& manifest) {
        manifest = false;
        if (options_.manifestRules) {
            // Where the name lands: `/` opened like `\`, an empty level skipped. Landing there in
            // another spelling (`VORIZ/INDEX.INI`, `VORIZ\\INDEX.INI`) is refused: such an entry
            // would be written in package order, not last, over the record.
            if (LandsOn(levels, manifestKey_)) {
                if (!IsManifestName(levels)) {
                    return Refuse(PlanFault::kManifestMisspelt, i);
                }
                if (items_->Directory(i)) {
                    return Refuse(PlanFault::kManifestIsDirectory, i);
                }
                if (plan_.manifest != kPlanNoEntry) {
                    return Refuse(PlanFault::kSecondManifest, i);
                }
                plan_.manifest = i;
                items_->Keep(i);  // placed last: its name is asked for again then
                manifest = true;
                return true;
            }
        }
        plan_.order.push_back(i);
        return true;
    }

    // The scratch bases that a level of entry i (`levels`) may be a scratch name of. The first
    // base that no name blocks is the plan's: so the scratch file of a replaced entry never lands
    // on an entry's path. The same names choose the same base.
    void BlockScratchBases(uint32_t i, std::u16string_view name) {
        std::size_t from = 0;
        for (std::size_t k = 0; k <= name.size(); ++k) {
            if (k < name.size() && !IsSeparator(name[k])) {
                continue;
            }
            const std::u16string_view level = name.substr(from, k - from);
            from = k + 1;
            const std::size_t candidate =
                level.empty() ? std::u16string_view::npos : ScratchCandidate(level[0]);
            if (candidate != std::u16string_view::npos && !blocked_[candidate] &&
                platform::IsScratchLevel(level, BaseToTest(candidate))) {
                blocked_[candidate] = true;
                lastBlocking_ = i;
            }
        }
    }

    bool ChooseScratchBase() {
        for (std::size_t candidate = 0; candidate < blocked_.size(); ++candidate) {
            if (!blocked_[candidate]) {
                plan_.scratchBase = ScratchBase(candidate);
                return true;
            }
        }
        return Refuse(PlanFault::kReservedName, lastBlocking_);  // every base taken: contrived
    }

    // In a tree that is kept, no scratch file is made where anything stands: a file there may be
    // one an installed version holds (a legal name), and a folder, link or device would make
    // every replacement there fail. The base moves on to one that is free in every folder where
    // a file is replaced. (A scratch file a power loss left is removed by the next run before it
    // plans, when the run recorded it: PlanOptions::leftover.)
    bool KeepScratchOffTheTree() {
        if (options_.tree == PlanTree::kKeep && options_.replacedAfter != nullptr) {
            replaced_.emplace_back(options_.replacedAfter);
        }
        if (replaced_.empty()) {
            return true;
        }
        const auto shift =
            static_cast<std::ptrdiff_t>(limitLength_) - static_cast<std::ptrdiff_t>(target_.size());
        for (std::size_t candidate = kScratchFirsts.find(plan_.scratchBase[0]);
             candidate < kScratchFirsts.size(); ++candidate) {
            const std::u16string base = ScratchBase(candidate);
            bool free = !blocked_[candidate];
            std::u16string scratch;
            for (std::size_t k = 0; free && k < replaced_.size(); ++k) {
                free = platform::ScratchPath(replaced_[k], PlanScratchRule(shift, base), scratch) &&
                       Query(scratch.c_str()) == platform::kInvalidFileAttributes;
            }
            if (free) {
                plan_.scratchBase = base;
                return true;
            }
        }
        return Refuse(PlanFault::kReservedName, plan_.order.back());
    }

    // The tree's attributes at `path`, the leftover taken away.
    uint32_t Query(const char16_t* path) const {
        if (options_.leftover != nullptr &&
            platform::EqualsIgnoringAsciiCase(std::u16string_view(path),
                                              std::u16string_view(options_.leftover))) {
            return platform::kInvalidFileAttributes;
        }
        return query_(path);
    }

    // ScratchBase(candidate) in a buffer kept for the tests of every level; valid until the next
    // call.
    std::u16string_view BaseToTest(std::size_t candidate) {
        baseToTest_[0] = kScratchFirsts[candidate];
        return baseToTest_;
    }

    static std::u16string ScratchBase(std::size_t candidate) {
        std::u16string base(platform::kScratchBase);
        base[0] = kScratchFirsts[candidate];
        return base;
    }

    bool TargetExists() {
        if (target_.empty()) {
            return true;
        }
        const Split& levels = Levels(target_, target_.size(), kTarget);
        if (levels.empty() || targetLevels_ == 0) {
            return true;  // the root, or a relative target of one partial level
        }
        return KindAt(target_, levels, targetLevels_ - 1) == Kind::kDirectory;
    }

    std::u16string_view PathOf(uint32_t source) override {
        if (source == kTarget) {
            return target_;
        }
        if (source == current_ && currentPath_ != nullptr) {
            return *currentPath_;
        }
        if (source == previous_) {
            return previousPath_;
        }
        std::u16string_view name;
        if (items_ == nullptr || items_->Name(source, name) != PlanFault::kNone) {
            return {};
        }
        otherPath_ = target_;
        otherPath_ += name;
        return otherPath_;
    }

    // The levels of `path`, the joined path of entry `source` (kTarget: the target itself);
    // those ending after `nameStart` are the stored name's, and a level that a `\` of the stored
    // name ends is one extraction creates as a parent. Valid until the next call. Entries in
    // catalogue order share most of their folders, so the levels that end (with their separator)
    // inside what this path shares with the last one are that call's nodes, now this entry's.
    const Split& Levels(const std::u16string& path, std::size_t nameStart, uint32_t source) {
        current_ = source;
        currentPath_ = &path;
        Split& split = split_;
        std::size_t same = 0;
        if (nameStart == splitNameStart_) {
            const std::size_t shorter = std::min(path.size(), splitPath_.size());
            while (same < shorter && path[same] == splitPath_[same]) {
                ++same;
            }
        }
        std::size_t kept = 0;
        while (kept < split.size() && split[kept].end < same) {
            paths_[split[kept].node].source = source;
            ++kept;
        }
        split.resize(kept);
        splitNameStart_ = SIZE_MAX;  // until this call's levels are whole (memory may run out)
        uint32_t parent = kept > 0 ? split.back().node : PathTable::kRoot;
        std::size_t from = kept > 0 ? split.back().end + 1 : 0;
        for (std::size_t i = from; i <= path.size(); ++i) {
            if (i == path.size() || IsSeparator(path[i])) {
                if (i > from) {
                    folded_.assign(path, from, i - from);
                    for (char16_t& c : folded_) {
                        c = platform::FoldAscii(c);
                    }
                    parent = paths_.Intern(parent, folded_, source, from);
                    split.push_back(
                        {i, parent, i < path.size() && path[i] == u'\\' && i >= nameStart});
                }
                from = i + 1;
            }
        }
        splitPath_ = path;
        splitNameStart_ = nameStart;
        return split;
    }

    Kind KindAt(const std::u16string& path, const Split& levels, std::size_t last) {
        PathTable::Node& node = paths_[levels[last].node];
        if (node.known) {
            return node.kind;
        }
        const bool inside = last >= targetLevels_;
        if (target_.empty() || (inside && options_.tree == PlanTree::kEmpty)) {
            return Kind::kNone;
        }
        // Below a directory this plan creates there is nothing to ask the disk about, which keeps
        // a new tree's plan to one query per level that already exists.
        if (last > 0) {
            const PathTable::Node& parent = paths_[levels[last - 1].node];
            if (parent.known && parent.planned) {
                return Kind::kNone;
            }
        }
        std::u16string probe = path.substr(0, levels[last].end);
        const uint32_t attributes = Query(probe.c_str());
        Kind kind = Kind::kFile;
        if (attributes == platform::kInvalidFileAttributes) {
            kind = Kind::kNone;
        } else if ((attributes & (platform::kAttributeReparsePoint | platform::kAttributeDevice)) !=
                   0) {
            kind = Kind::kOther;
        } else if ((attributes & platform::kAttributeDirectory) != 0) {
            kind = Kind::kDirectory;
        }
        Mark(node, kind, -2, false);
        return kind;
    }

    static void Mark(PathTable::Node& node, Kind kind, int32_t origin, bool planned) {
        node.kind = kind;
        node.origin = origin;
        node.known = true;
        node.planned = planned;
    }

    void Set(const Split& levels, std::size_t last, Kind kind, int32_t origin) {
        Mark(paths_[levels[last].node], kind, origin, true);
        if (kind == Kind::kDirectory) {
            ++plan_.newDirectoryCount;
        }
    }

    // Why the parent of level `last` is not a directory: a file somewhere on the way, or missing.
    PlanFault ParentFault(const std::u16string& path, const Split& levels, std::size_t last) {
        // The plan never has a directory below anything else, nor does the disk: a directory
        // parent settles it without looking at the levels above.
        if (last == 0 || KindAt(path, levels, last - 1) == Kind::kDirectory) {
            return PlanFault::kNone;
        }
        for (std::size_t i = 0; i < last; ++i) {
            const Kind kind = KindAt(path, levels, i);
            if (kind == Kind::kFile) {
                return PlanFault::kFileInTheWay;
            }
            if (kind == Kind::kOther) {
                return PlanFault::kLinkInTheWay;
            }
            if (kind == Kind::kNone) {
                return PlanFault::kParentMissing;
            }
        }
        return PlanFault::kNone;
    }

    // Extraction's parent creation: every level that a `\` of the name ends, in turn; each is
    // made when its own parent is a directory by then.
    void MakeParents(const std::u16string& path, const Split& levels, std::size_t last) {
        for (std::size_t i = 0; i < last; ++i) {
            if (!levels[i].madeAsParent || KindAt(path, levels, i) != Kind::kNone) {
                continue;
            }
            if (i == 0 || KindAt(path, levels, i - 1) == Kind::kDirectory) {
                Set(levels, i, Kind::kDirectory, -1);
            }
        }
    }

    bool Place(uint32_t index) {
        std::u16string_view name;
        items_->Name(index, name);
        const bool directory = items_->Directory(index);
        std::u16string& path = placePath_;  // its buffer taken turns with previousPath_'s
        path = target_;
        path += name;
        if (limitLength_ + name.size() >= kPackagePathCapacity) {
            return Refuse(PlanFault::kPathTooLong, index);
        }
        if (target_.size() < 2 && path.size() >= 2 && IsSeparator(path[0]) &&
            IsSeparator(path[1])) {
            // A leading `\` of the name joined to the root `\` makes a network path (\\server).
            return Refuse(PlanFault::kEmptyLevel, index);
        }
        if (directory && !path.empty() && path.back() == u'\\') {
            path.pop_back();  // extraction drops the one trailing `\` of a directory entry
        }
        const Split& levels = Levels(path, target_.size(), index);
        if (paths_.lost()) {
            return Refuse(PlanFault::kNameNotText, index);
        }
        if (levels.size() <= targetLevels_) {
            return Refuse(PlanFault::kEmptyName, index);
        }
        const std::size_t last = levels.size() - 1;
        // A directory entry repeated makes nothing new, and a file repeated is written again: the
        // later entry's bytes replace the earlier's. A file and a directory on one path is the
        // one pair that would leave something other than what either entry says.
        uint64_t earlierSize = 0;
        bool again = false;
        if (const PathTable::Node& found = paths_[levels[last].node];
            found.known && found.origin >= 0) {
            again = directory == (found.kind == Kind::kDirectory);
            if (!again) {
                return Refuse(PlanFault::kSamePath, index);
            }
            earlierSize = items_->Size(static_cast<uint32_t>(found.origin));
        }
        Kind kind = KindAt(path, levels, last);
        if (kind == Kind::kOther) {
            return Refuse(PlanFault::kLinkInTheWay, index);
        }
        if (kind == Kind::kNone) {
            // A file is opened first and its parents made only when that fails; a directory
            // entry is made at once and its parents only when that fails. Either way the
            // parents at `\` are made in order, then the entry itself needs its parent.
            if (last > 0 && KindAt(path, levels, last - 1) != Kind::kDirectory) {
                MakeParents(path, levels, last);
            }
            const PlanFault fault = ParentFault(path, levels, last);
            // Names alone cannot tell whether a parent joined by `/` exists: that is the tree's.
            if (fault != PlanFault::kNone &&
                !(target_.empty() && fault == PlanFault::kParentMissing)) {
                return Refuse(fault, index);
            }
        } else if (directory && kind == Kind::kFile) {
            return Refuse(PlanFault::kFileInTheWay, index);
        } else if (!directory && kind == Kind::kDirectory) {
            return Refuse(PlanFault::kDirectoryInTheWay, index);
        }
        PlanAction action = PlanAction::kMakeDirectory;
        if (directory) {
            if (kind == Kind::kNone) {
                Set(levels, last, Kind::kDirectory, static_cast<int32_t>(index));
            } else {
                Mark(paths_[levels[last].node], Kind::kDirectory, static_cast<int32_t>(index),
                     false);
            }
        } else {
            action = kind == Kind::kFile ? PlanAction::kReplaceFile : PlanAction::kCreateFile;
            if (action == PlanAction::kReplaceFile && options_.tree == PlanTree::kKeep) {
                replaced_.push_back(path);  // a file of the tree, replaced through a scratch file
            }
            Mark(paths_[levels[last].node], Kind::kFile, static_cast<int32_t>(index), false);
        }
        if (!options_.verdictOnly) {
            plan_.steps.push_back({index, action, again, items_->Size(index), earlierSize});
        } else if (action == PlanAction::kReplaceFile) {
            plan_.replaces[index] = true;
        }
        // The nodes this entry met now refer to its path, kept as the previous one.
        previous_ = index;
        previousPath_.swap(path);
        currentPath_ = nullptr;
        return true;
    }

    const PlanOptions& options_;
    InstallPlan& plan_;
    ItemList* items_ = nullptr;
    std::u16string target_;
    std::size_t limitLength_ = 0;  // what the device's path limit counts of the target
    std::size_t targetLevels_ = 0;
    uint32_t (*query_)(const char16_t*) = nullptr;
    // The joined paths LevelTexts hands out: the entry being placed, the one before, another.
    uint32_t current_ = kTarget;
    const std::u16string* currentPath_ = nullptr;
    uint32_t previous_ = kTarget;
    std::u16string previousPath_;
    std::u16string placePath_;
    std::u16string otherPath_;
    // The pass's state between Begin, Take and End.
    bool targetExists_ = false;
    bool refused_ = false;  // a name's fault (or too many entries): the pass is over
    bool ordered_ = true;   // no refusal of the manifest rules yet
    bool placing_ = false;
    PlanFault placeFault_ = PlanFault::kNone;
    uint32_t placeEntry_ = 0;
    PathTable paths_;
    // The last call's levels, of the path and name start it had (Levels).
    Split split_;
    std::u16string splitPath_;
    std::size_t splitNameStart_ = SIZE_MAX;
    std::u16string folded_;
    std::vector<bool> blocked_;  // scratch bases a name may be a scratch name of
    std::u16string baseToTest_{platform::kScratchBase};
    uint32_t lastBlocking_ = 0;  // the last entry that blocked one
    const std::u16string manifestKey_ = platform::FoldedAscii(kPackageManifestName);
    std::vector<std::u16string> replaced_;  // paths of the tree's files the plan replaces
};

}  // namespace

namespace {

bool PlanItems(ItemList& items, const PlanOptions& options, InstallPlan& plan) {
    plan = InstallPlan{};
    Planner planner(options, plan);
    if (!planner.Run(items)) {
        plan.order.clear();
        plan.steps.clear();
        plan.replaces.clear();
        plan.newDirectoryCount = 0;
        return false;
    }
    return true;
}

}  // namespace

bool BuildInstallPlan(const std::vector<PlanEntry>& entries, const PlanOptions& options,
                      InstallPlan& plan) {
    PlanEntryList items(entries);
    return PlanItems(items, options, plan);
}

int32_t PlanEntries(const PackageEntry* const* entries, uint32_t count, const PlanOptions& options,
                    InstallPlan& plan) {
    CatalogueList items(entries, count);
    return PlanItems(items, options, plan) ? 1 : 0;
}

struct CatalogueNamesPlan::Pass {
    Pass(const PackageEntry* const* entries, uint32_t count, const PlanOptions& options,
         InstallPlan& plan)
        : items(entries, count), planner(options, plan) {}
    CatalogueList items;
    Planner planner;
    bool going = true;  // no refusal that ends the pass yet
};

CatalogueNamesPlan::CatalogueNamesPlan(const PlanOptions& options, InstallPlan& plan)
    : options_(options), plan_(plan) {}

CatalogueNamesPlan::~CatalogueNamesPlan() = default;

void CatalogueNamesPlan::Begin(const PackageEntry* const* entries, uint32_t count) {
    plan_ = InstallPlan{};
    pass_ = std::make_unique<Pass>(entries, count, options_, plan_);
    pass_->going = pass_->planner.Begin(pass_->items);
}

void CatalogueNamesPlan::Take(uint32_t index, std::string_view stored) {
    if (pass_ != nullptr && pass_->going) {
        pass_->items.Offer(index, stored);
        pass_->going = pass_->planner.Take(index);
    }
}

int32_t CatalogueNamesPlan::End() {
    const bool planned = pass_ != nullptr && pass_->going && pass_->planner.End();
    pass_.reset();
    if (!planned) {
        if (plan_.fault == PlanFault::kNone) {
            plan_.fault = PlanFault::kNameNotText;  // no pass, or one that could not be made
        }
        plan_.order.clear();
        plan_.steps.clear();
        plan_.replaces.clear();
        plan_.newDirectoryCount = 0;
    }
    return planned ? 1 : 0;
}

std::u16string PlannedPath(const char16_t* target, const PackageEntry* entry) {
    std::u16string name;
    PackageName stored;
    if (entry == nullptr || entry->ReadName(stored) != 0 ||
        CheckStoredName(stored.stored(), entry->IsDirectory(), &name, NameUse::kRead) !=
            NameFault::kNone) {
        return {};
    }
    std::u16string path = target != nullptr ? target : u"";
    return path + name;
}

bool IsManifestName(std::u16string_view name) {
    while (!name.empty() && name.front() == u'\\') {
        name.remove_prefix(1);
    }
    return platform::EqualsIgnoringAsciiCase(name, std::u16string_view(kPackageManifestName));
}

bool IsPlanScratchName(std::u16string_view level) {
    if (level.empty() || kScratchFirsts.find(platform::FoldAscii(level[0])) == level.npos) {
        return false;
    }
    std::u16string base(platform::kScratchBase);
    base[0] = level[0];
    return platform::IsScratchLevel(level, base);
}

platform::ScratchRule PlanScratchRule(std::ptrdiff_t limitShift, std::u16string_view base) {
    return platform::ScratchRule::OnDevice(limitShift, base);
}
