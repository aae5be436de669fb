// The entries as the install planner reads them, and the catalogue entries of an open package
// among them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "package/name_rules.h"
#include "package/package_entry.h"
#include "package/plan_fault.h"

namespace plan {

// The plan's fault for a name the name rule refuses.
PlanFault PlanFaultOf(NameFault fault);

// The entries as the planner reads them. A name is asked for when it is needed, one at a time,
// so the names of a large catalogue are never all held converted at once.
class ItemList {
  public:
    virtual ~ItemList() = default;
    virtual uint32_t Count() const = 0;
    virtual bool Directory(uint32_t i) const = 0;
    virtual uint64_t Size(uint32_t i) const = 0;
    // Entry i's name, valid until the next call; a fault when it is no name a reader accepts.
    virtual PlanFault Name(uint32_t i, std::u16string_view& name) = 0;
    // Entry i's name (the one asked for last) will be asked for again at the end (the manifest,
    // placed last): a list that reads names from the package keeps it.
    virtual void Keep(uint32_t i) { (void)i; }
};

// Catalogue entries: every stored byte of a name, NULs included, converted with the package's
// hook (a name cut at a NUL would be planned as another). The name last asked for is held, so
// asking for it again reads nothing.
class CatalogueList final : public ItemList {
  public:
    CatalogueList(const PackageEntry* const* entries, uint32_t count)
        : entries_(entries), count_(count) {}
    uint32_t Count() const override { return count_; }
    bool Directory(uint32_t i) const override { return entries_[i]->IsDirectory(); }
    uint64_t Size(uint32_t i) const override { return entries_[i]->UncompressedTotal(); }
    PlanFault Name(uint32_t i, std::u16string_view& name) override;
    // Entry i's stored name as the parse of its catalogue read it, held as if asked for.
    void Offer(uint32_t i, std::string_view stored);
    void Keep(uint32_t i) override;

  private:
    const PackageEntry* const* entries_;
    uint32_t count_;
    std::u16string wide_;
    PackageName stored_;
    uint32_t held_ = UINT32_MAX;  // the entry whose name wide_ holds
    PlanFault heldFault_ = PlanFault::kNone;
    std::u16string keptWide_;
    uint32_t kept_ = UINT32_MAX;  // the entry whose name keptWide_ holds (Keep)
};

}  // namespace plan
