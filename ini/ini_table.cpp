#include "ini/ini_table.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "ini/ini_text.h"

using ini_detail::ComposeKey;
using ini_detail::CopyField;
using ini_detail::FieldForm;
using ini_detail::SectionForm;

namespace {

// What a free slot's key and value point at.
constexpr char16_t kFreeText[] = u"";

bool IsFree(const IniEntry& entry) {
    return entry.key[0] == 0;
}

bool SameKey(const char16_t* stored, std::u16string_view key) {
    std::size_t i = 0;
    for (; i < key.size(); ++i) {
        if (stored[i] != key[i]) {
            return false;
        }
    }
    return stored[i] == 0;
}

uint32_t HashView(std::u16string_view text) {
    uint32_t h = 0;
    for (char16_t c : text) {
        h += static_cast<uint32_t>(c);
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

}  // namespace

// The hash index: open addressing with linear probing over slot numbers, kept at most three
// quarters full (tombstones included) and rebuilt at the next power of two above four thirds of
// the needed size when it gets fuller; and the free slots below the high-water mark as a min-heap,
// so that a new entry still takes the lowest free slot. Eight buckets share a cache line, so a
// probe at that load still reads one line or two; and a fuller index is a smaller one, which stays
// in the processor's cache while a large file's text streams past it.
struct IniTableIndex {
    static constexpr int32_t kEmpty = -1;
    static constexpr int32_t kRemoved = -2;
    // A bucket keeps its slot's hash beside the slot number, so that a probe reads the slot and
    // its key's text only for a key whose hash matches.
    struct Bucket {
        int32_t slot;
        uint32_t hash;
    };
    std::vector<Bucket> buckets;  // a power of two long
    std::size_t removed = 0;      // tombstones among the buckets
    std::vector<int32_t> holes;   // free slots below highWater, a min-heap
    int32_t highWater = 0;        // every slot from here on is free
    // The text store: per entry its key and NUL, one unit holding the room of the value (its
    // units, NUL included, at most kIniFieldUnits), then the value and its NUL within that room.
    // Text is added to the last chunk; a full one is followed by a new one, so that adding text
    // never moves what is stored. Chunks grow with the text, up to kMaxChunkUnits.
    static constexpr std::size_t kMinChunkUnits = 512;
    static constexpr std::size_t kMaxChunkUnits = 32768;
    std::vector<std::unique_ptr<char16_t[]>> chunks;
    std::size_t chunkSize = 0;  // units of the last chunk
    std::size_t chunkUsed = 0;  // of them taken
    std::size_t textUsed = 0;   // units taken in all chunks, left-over ends of chunks included
    std::size_t textLive = 0;   // of them held by stored entries (their keys and values' rooms)
};

namespace {

std::size_t BucketMask(const IniTableIndex& index) {
    return index.buckets.size() - 1;
}

void PlaceInIndex(IniTableIndex& index, uint32_t hash, int32_t slot) {
    const std::size_t mask = BucketMask(index);
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        if (index.buckets[i].slot == IniTableIndex::kEmpty) {
            index.buckets[i] = {slot, hash};
            return;
        }
        if (index.buckets[i].slot == IniTableIndex::kRemoved) {
            index.buckets[i] = {slot, hash};
            --index.removed;
            return;
        }
    }
}

// Makes room for `more` entries in the index: rebuilt, larger when needed, once occupied
// buckets and tombstones would pass three quarters of it. False when memory is lacking (nothing
// changed).
bool ReserveIndex(const IniTable* table, std::size_t more = 1) {
    IniTableIndex& index = *table->index;
    // Room in the free-slot heap for every slot up to the last one taken, so that removing an
    // entry never needs memory.
    const std::size_t slots = static_cast<std::size_t>(index.highWater) + more;
    if (index.holes.capacity() < slots) {
        try {
            index.holes.reserve(std::max<std::size_t>(slots, index.holes.capacity() * 2));
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    const std::size_t wanted = static_cast<std::size_t>(table->used) + more;
    if (wanted + index.removed <= index.buckets.size() - index.buckets.size() / 4) {
        return true;
    }
    std::size_t size = 64;
    while (size - size / 4 <= wanted) {
        size *= 2;
    }
    std::vector<IniTableIndex::Bucket> buckets;
    try {
        buckets.assign(size, {IniTableIndex::kEmpty, 0});
    } catch (const std::bad_alloc&) {
        return false;
    }
    index.buckets.swap(buckets);
    index.removed = 0;
    for (const IniTableIndex::Bucket& bucket : buckets) {  // the old index, in bucket order
        if (bucket.slot >= 0) {
            PlaceInIndex(index, bucket.hash, bucket.slot);
        }
    }
    return true;
}

// Index of the slot holding `key` (already in its field form, its hash `h`), or -1.
int32_t FindSlot(const IniTable* table, std::u16string_view key, uint32_t h) {
    const IniTableIndex& index = *table->index;
    const std::size_t mask = BucketMask(index);
    for (std::size_t i = h & mask; index.buckets[i].slot != IniTableIndex::kEmpty;
         i = (i + 1) & mask) {
        const int32_t slot = index.buckets[i].slot;
        if (slot >= 0 && index.buckets[i].hash == h && SameKey(table->entries[slot].key, key)) {
            return slot;
        }
    }
    return -1;
}

int32_t FindSlot(const IniTable* table, std::u16string_view key) {
    return FindSlot(table, key, HashView(key));
}

// The units an entry takes in the text store.
std::size_t StoredUnits(const IniEntry& entry) {
    return std::u16string_view(entry.key).size() + 2 + static_cast<std::size_t>(entry.value[-1]);
}

// Copies `text` and its NUL to `out`; returns the unit after the NUL.
char16_t* PutText(char16_t* out, std::u16string_view text) {
    out = std::copy(text.begin(), text.end(), out);
    *out = 0;
    return out + 1;
}

// Puts a value with a room of exactly its units at `out`; returns where the value starts.
char16_t* PutValue(char16_t* out, std::u16string_view value) {
    out[0] = static_cast<char16_t>(value.size() + 1);
    PutText(out + 1, value);
    return out + 1;
}

// Copies every stored entry, in slot order, into one new chunk with room for as much again, and
// drops the old chunks with what replaced and removed entries left in them. False when memory is
// lacking (nothing changed).
bool CompactText(IniTable* table, std::size_t units) {
    IniTableIndex& index = *table->index;
    const std::size_t size = std::max((index.textLive + units) * 2, IniTableIndex::kMinChunkUnits);
    std::vector<std::unique_ptr<char16_t[]>> chunks;
    try {
        chunks.reserve(1);
        chunks.emplace_back(new char16_t[size]);
    } catch (const std::bad_alloc&) {
        return false;
    }
    char16_t* out = chunks.back().get();
    for (int32_t i = 0; i < index.highWater; ++i) {
        IniEntry& entry = table->entries[i];
        if (!IsFree(entry)) {
            const std::u16string_view key(entry.key);
            const std::u16string_view value(entry.value);
            entry.key = out;
            entry.value = PutValue(PutText(out, key), value);
            out += key.size() + value.size() + 3;
        }
    }
    index.chunks.swap(chunks);
    index.chunkSize = size;
    index.chunkUsed = static_cast<std::size_t>(out - index.chunks.back().get());
    index.textUsed = index.chunkUsed;
    index.textLive = index.chunkUsed;
    return true;
}

// Room for `units` units (at most a whole entry) in the text store, counted as taken; null when
// memory is lacking. When the last chunk is full and what replaced and removed entries left
// outweighs the stored text, the store is compacted (CompactText): only then do stored entries
// move.
char16_t* TakeText(IniTable* table, std::size_t units) {
    IniTableIndex& index = *table->index;
    if (index.chunkSize - index.chunkUsed < units) {
        if (index.textUsed - index.textLive > index.textLive) {
            if (!CompactText(table, units)) {
                return nullptr;
            }
        } else {
            const std::size_t size =
                std::max(std::clamp(index.textUsed, IniTableIndex::kMinChunkUnits,
                                    IniTableIndex::kMaxChunkUnits),
                         units);
            try {
                index.chunks.reserve(index.chunks.size() + 1);
                index.chunks.emplace_back(new char16_t[size]);
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
            index.textUsed +=
                index.chunkSize - index.chunkUsed;  // the old chunk's end stays unused
            index.chunkSize = size;
            index.chunkUsed = 0;
        }
    }
    char16_t* room = index.chunks.back().get() + index.chunkUsed;
    index.chunkUsed += units;
    index.textUsed += units;
    return room;
}

// Grows the slot array by `added` slots. False when it cannot (nothing changed then).
bool Grow(IniTable* table, int32_t added) {
    if (added > std::numeric_limits<int32_t>::max() - table->capacity ||
        static_cast<std::size_t>(table->capacity) + static_cast<std::size_t>(added) >
            std::numeric_limits<std::size_t>::max() / sizeof(IniEntry)) {
        return false;
    }
    const std::size_t slots =
        static_cast<std::size_t>(table->capacity) + static_cast<std::size_t>(added);
    void* grown = std::realloc(table->entries, slots * sizeof(IniEntry));
    if (grown == nullptr) {
        return false;
    }
    table->entries = static_cast<IniEntry*>(grown);
    std::fill_n(table->entries + table->capacity, added, IniEntry{kFreeText, kFreeText, 0});
    table->capacity += added;
    return true;
}

// Doubles the slot array.
bool Grow(IniTable* table) {
    return Grow(table, table->capacity);
}

// The lowest free slot; the table has one.
int32_t TakeLowestFreeSlot(IniTableIndex& index) {
    if (!index.holes.empty()) {
        std::pop_heap(index.holes.begin(), index.holes.end(), std::greater<int32_t>());
        const int32_t slot = index.holes.back();
        index.holes.pop_back();
        return slot;
    }
    return index.highWater++;
}

// Starts fetching the bucket where a lookup of a key hashed `h` begins. A table larger than the
// processor's caches would otherwise wait for memory on every new key, each lookup's bucket being
// anywhere in the index; a fetch started before other work is done meanwhile.
void PrefetchBucket(const IniTable* table, uint32_t h) {
    const IniTableIndex& index = *table->index;
    __builtin_prefetch(&index.buckets[h & BucketMask(index)]);
}

// `key` (at most kIniFieldUnits - 1 units, not empty) is stored with `value`; `hash` is its
// HashView. `value` may point into the table itself (a value copied from another entry), which
// growing moves: it is copied before anything changes.
void SetField(IniTable* table, std::u16string_view key, const char16_t* value, uint32_t hash) {
    char16_t valueCopy[kIniFieldUnits];
    CopyField(valueCopy, value != nullptr ? FieldForm(value) : std::u16string_view());
    const std::u16string_view text(valueCopy);
    IniTableIndex& index = *table->index;
    if (table->used > 0) {
        const int32_t found = FindSlot(table, key, hash);
        if (found >= 0) {
            IniEntry& entry = table->entries[found];
            // The stored value keeps its place when the new one fits in its room (the text store
            // is the table's own, written only here).
            if (text.size() < static_cast<std::size_t>(entry.value[-1])) {
                PutText(const_cast<char16_t*>(entry.value), text);
                return;
            }
            char16_t* room = TakeText(table, text.size() + 2);  // may move the stored value
            if (room == nullptr) {
                return;
            }
            index.textLive -= static_cast<std::size_t>(entry.value[-1]) + 1;
            index.textLive += text.size() + 2;
            entry.value = PutValue(room, text);
            return;
        }
    }
    if ((table->used >= table->capacity && !Grow(table)) || !ReserveIndex(table)) {
        return;
    }
    char16_t* room = TakeText(table, key.size() + text.size() + 3);
    if (room == nullptr) {
        return;
    }
    index.textLive += key.size() + text.size() + 3;
    const int32_t slot = TakeLowestFreeSlot(index);
    IniEntry& entry = table->entries[slot];
    entry.key = room;
    entry.value = PutValue(PutText(room, key), text);
    entry.hash = hash;
    PlaceInIndex(index, entry.hash, slot);
    ++table->used;
}

// `key` may point into the table itself, which growing moves: it is copied first.
void SetView(IniTable* table, std::u16string_view keyView, const char16_t* value) {
    if (keyView.empty()) {
        return;  // a first unit of 0 would read as a free slot
    }
    char16_t keyCopy[kIniFieldUnits];
    CopyField(keyCopy, keyView);
    const std::u16string_view key(keyCopy);
    SetField(table, key, value, HashView(key));
}

void UnsetSlot(IniTable* table, int32_t slot) {
    IniTableIndex& index = *table->index;
    IniEntry& entry = table->entries[slot];
    const std::size_t mask = BucketMask(index);
    for (std::size_t i = entry.hash & mask; index.buckets[i].slot != IniTableIndex::kEmpty;
         i = (i + 1) & mask) {
        if (index.buckets[i].slot == slot) {
            index.buckets[i].slot = IniTableIndex::kRemoved;
            ++index.removed;
            break;
        }
    }
    // ReserveIndex made room for this push when the slot was taken.
    index.holes.push_back(slot);
    std::push_heap(index.holes.begin(), index.holes.end(), std::greater<int32_t>());
    index.textLive -= StoredUnits(entry);
    entry = IniEntry{kFreeText, kFreeText, 0};
    --table->used;
}

bool HasPrefix(const char16_t* key, std::u16string_view prefix) {
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (key[i] != prefix[i]) {
            return false;  // also stops at the key's NUL
        }
    }
    return true;
}

bool IsSectionEntry(const IniEntry& entry) {
    return ini_detail::IsSectionKey(entry.key);
}

std::u16string KeyPrefix(const char16_t* section) {
    std::u16string prefix(SectionForm(section));
    prefix.push_back(u'#');
    return prefix;
}

// Slot of the `index`-th key of the section with `prefix`, or -1; counts them into `count`.
int32_t NthKeySlot(const IniTable* table, std::u16string_view prefix, int32_t index,
                   int32_t& count) {
    count = 0;
    for (int32_t i = 0; i < table->capacity; ++i) {
        const IniEntry& entry = table->entries[i];
        if (!IsFree(entry) && HasPrefix(entry.key, prefix)) {
            if (count == index) {
                return i;
            }
            ++count;
        }
    }
    return -1;
}

void FormatAndSet(IniTable* table, const char16_t* section, const char16_t* key, const char* text) {
    char16_t wide[64];
    ini_detail::WidenAscii(text, wide, sizeof wide / sizeof wide[0]);
    IniTableSetString(table, section, key, wide);
}

}  // namespace

uint32_t IniHash(const char16_t* text) {
    if (text == nullptr) {
        return 0;
    }
    return HashView(std::u16string_view(text));
}

IniTable* IniTableCreate(int32_t requested) {
    const int32_t capacity = requested < kIniGrowSlots ? kIniGrowSlots : requested;
    if (static_cast<std::size_t>(capacity) >
        std::numeric_limits<std::size_t>::max() / sizeof(IniEntry)) {
        return nullptr;
    }
    auto* table = static_cast<IniTable*>(std::malloc(sizeof(IniTable)));
    if (table == nullptr) {
        return nullptr;
    }
    table->entries = static_cast<IniEntry*>(std::malloc(capacity * sizeof(IniEntry)));
    if (table->entries == nullptr) {
        std::free(table);
        return nullptr;
    }
    std::fill_n(table->entries, capacity, IniEntry{kFreeText, kFreeText, 0});
    table->capacity = capacity;
    table->used = 0;
    table->index = new (std::nothrow) IniTableIndex;
    if (table->index == nullptr || !ReserveIndex(table)) {
        IniTableFree(table);
        return nullptr;
    }
    return table;
}

void IniTableReserve(IniTable* table, int32_t entries) {
    if (table == nullptr || entries <= 0) {
        return;
    }
    // Slots come 32 at a time, as the table's own growth gives them.
    const int64_t missing = int64_t{entries} - (table->capacity - table->used);
    const int64_t added = (missing + kIniGrowSlots - 1) / kIniGrowSlots * kIniGrowSlots;
    if (missing > 0 && (added > INT32_MAX || !Grow(table, static_cast<int32_t>(added)))) {
        return;
    }
    ReserveIndex(table, static_cast<std::size_t>(entries));
}

void IniTableFree(IniTable* table) {
    if (table == nullptr) {
        return;
    }
    delete table->index;
    std::free(table->entries);
    std::free(table);
}

const char16_t* IniTableFind(IniTable* table, const char16_t* key, const char16_t* fallback) {
    if (table == nullptr || key == nullptr) {
        return fallback;
    }
    const int32_t slot = FindSlot(table, FieldForm(key));
    return slot >= 0 ? table->entries[slot].value : fallback;
}

void IniTableSet(IniTable* table, const char16_t* key, const char16_t* value) {
    if (table == nullptr || key == nullptr) {
        return;
    }
    SetView(table, FieldForm(key), value);
}

void IniTableUnset(IniTable* table, const char16_t* key) {
    if (table == nullptr || key == nullptr) {
        return;
    }
    const int32_t slot = FindSlot(table, FieldForm(key));
    if (slot >= 0) {
        UnsetSlot(table, slot);
    }
}

void IniTableSetString(IniTable* table, const char16_t* section, const char16_t* key,
                       const char16_t* value) {
    if (table == nullptr) {
        return;
    }
    const std::u16string_view name = SectionForm(section);
    if (name.empty()) {
        return;
    }
    if (key == nullptr) {
        SetView(table, name, value);
        return;
    }
    char16_t composed[kIniFieldUnits];
    if (!ComposeKey(name, key, composed)) {
        return;
    }
    // The key's bucket is fetched while the section entry is set.
    const std::u16string_view field(composed);
    const uint32_t hash = HashView(field);
    PrefetchBucket(table, hash);
    // The value may point into the table, which setting the section entry can grow: copy it.
    char16_t valueCopy[kIniFieldUnits];
    CopyField(valueCopy, value != nullptr ? FieldForm(value) : std::u16string_view());
    // The section entry first, so that a new section takes a lower slot than its first key.
    SetView(table, name, nullptr);
    SetField(table, field, value != nullptr ? valueCopy : nullptr, hash);
}

const char16_t* IniTableGetString(IniTable* table, const char16_t* section, const char16_t* key,
                                  const char16_t* fallback) {
    if (table == nullptr) {
        return fallback;
    }
    const std::u16string_view name = SectionForm(section);
    if (key == nullptr) {
        const int32_t slot = FindSlot(table, name);
        return slot >= 0 ? table->entries[slot].value : fallback;
    }
    char16_t composed[kIniFieldUnits];
    if (!ComposeKey(name, key, composed)) {
        return fallback;
    }
    const int32_t slot = FindSlot(table, composed);
    return slot >= 0 ? table->entries[slot].value : fallback;
}

bool IniTableGetBool(IniTable* table, const char16_t* section, const char16_t* key, bool fallback) {
    static const char16_t kAbsent[] = u"";
    const char16_t* value = IniTableGetString(table, section, key, kAbsent);
    if (value == kAbsent) {
        return fallback;
    }
    switch (value[0]) {
        case u'T':
        case u't':
        case u'Y':
        case u'y':
        case u'1':
            return true;
        case u'F':
        case u'f':
        case u'N':
        case u'n':
        case u'0':
            return false;
        default:
            return fallback;
    }
}

int32_t IniTableGetInt(IniTable* table, const char16_t* section, const char16_t* key,
                       int32_t fallback) {
    static const char16_t kAbsent[] = u"";
    const char16_t* value = IniTableGetString(table, section, key, kAbsent);
    return value == kAbsent ? fallback : IniParseInt(value);
}

void IniTableSetBool(IniTable* table, const char16_t* section, const char16_t* key, bool value) {
    IniTableSetString(table, section, key, value ? u"true" : u"false");
}

void IniTableSetInt(IniTable* table, const char16_t* section, const char16_t* key, int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(value));
    FormatAndSet(table, section, key, text);
}

void IniTableSetReal(IniTable* table, const char16_t* section, const char16_t* key, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    FormatAndSet(table, section, key, text);
}

void IniTableRemoveKey(IniTable* table, const char16_t* section, const char16_t* key) {
    if (table == nullptr || key == nullptr) {
        return;
    }
    char16_t composed[kIniFieldUnits];
    if (ComposeKey(SectionForm(section), key, composed)) {
        IniTableUnset(table, composed);
    }
}

void IniTableRemoveSection(IniTable* table, const char16_t* section) {
    if (table == nullptr) {
        return;
    }
    const std::u16string prefix = KeyPrefix(section);
    for (int32_t i = 0; i < table->capacity; ++i) {
        if (!IsFree(table->entries[i]) && HasPrefix(table->entries[i].key, prefix)) {
            UnsetSlot(table, i);
        }
    }
    const int32_t slot = FindSlot(table, SectionForm(section));
    if (slot >= 0) {
        UnsetSlot(table, slot);
    }
}

int32_t IniTableSectionCount(IniTable* table) {
    if (table == nullptr) {
        return -1;
    }
    int32_t count = 0;
    for (int32_t i = 0; i < table->capacity; ++i) {
        if (!IsFree(table->entries[i]) && IsSectionEntry(table->entries[i])) {
            ++count;
        }
    }
    return count;
}

const char16_t* IniTableSectionName(IniTable* table, int32_t index) {
    if (table == nullptr || index < 0) {
        return nullptr;
    }
    int32_t seen = 0;
    for (int32_t i = 0; i < table->capacity; ++i) {
        const IniEntry& entry = table->entries[i];
        if (!IsFree(entry) && IsSectionEntry(entry)) {
            if (seen == index) {
                return entry.key;
            }
            ++seen;
        }
    }
    return kIniDefaultSection;
}

int32_t IniTableKeyCount(IniTable* table, const char16_t* section) {
    if (table == nullptr || section == nullptr) {
        return -1;
    }
    int32_t count = 0;
    NthKeySlot(table, KeyPrefix(section), -1, count);
    return count;
}

const char16_t* IniTableKeyName(IniTable* table, const char16_t* section, int32_t index) {
    if (table == nullptr || section == nullptr || index < 0) {
        return nullptr;
    }
    const std::u16string prefix = KeyPrefix(section);
    int32_t count = 0;
    const int32_t slot = NthKeySlot(table, prefix, index, count);
    return slot >= 0 ? table->entries[slot].key + prefix.size() : nullptr;
}

int32_t IniParseInt(const char16_t* text) {
    if (text == nullptr) {
        return 0;
    }
    while (ini_detail::IsSpace(*text)) {
        ++text;
    }
    bool negative = false;
    if (*text == u'+' || *text == u'-') {
        negative = *text == u'-';
        ++text;
    }
    // Accumulate the magnitude towards the limit of the sign, stopping once it is passed.
    const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                   : std::numeric_limits<int32_t>::max();
    int64_t magnitude = 0;
    for (; *text >= u'0' && *text <= u'9'; ++text) {
        magnitude = magnitude * 10 + (*text - u'0');
        if (magnitude > limit) {
            magnitude = limit;
        }
    }
    return static_cast<int32_t>(negative ? -magnitude : magnitude);
}
