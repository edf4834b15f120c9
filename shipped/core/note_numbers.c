/* Footnotes by number: a writer meets each note's id at its reference and
 * again at its note, which may stand in any order. */
#include <stdlib.h>
#include <string.h>

#include "shipped/core/form.h"
#include "shipped/core/refusal.h"

typedef struct note_slot {
    size_t id_at; /* where the id stands in ids: its length (four bytes), then its bytes; 0 for a free slot */
    int number;
} note_slot;

/* FNV-1a over the id, mixed with a key of the conversion's own: ids come
 * from the document, and no document should make every id meet in a slot. */
static size_t hash_id(const note_numbers *n, const char *id, size_t length)
{
    uint64_t h = 0xCBF29CE484222325ull ^ n->key;
    size_t i;
    for (i = 0; i < length; ++i)
        h = (h ^ (unsigned char)id[i]) * 0x100000001B3ull;
    return (size_t)(h ^ (h >> 29));
}

static int same_id(const note_numbers *n, size_t at, const char *id, size_t length)
{
    uint32_t stored;
    memcpy(&stored, n->ids.data + at, 4);
    return stored == length && memcmp(n->ids.data + at + 4, id, length) == 0;
}

static int grow_slots(note_numbers *n)
{
    const size_t count = n->slot_count ? n->slot_count * 2 : 64;
    note_slot *slots = (note_slot *)calloc(count, sizeof *slots);
    size_t i;
    if (!slots)
        return refusal_set(REFUSAL_OUT_OF_MEMORY);
    for (i = 0; i < n->slot_count; ++i) {
        const note_slot *old = &((note_slot *)n->slots)[i];
        uint32_t length;
        size_t at;
        if (!old->id_at)
            continue;
        memcpy(&length, n->ids.data + old->id_at, 4);
        for (at = hash_id(n, (const char *)n->ids.data + old->id_at + 4, length) & (count - 1); slots[at].id_at;
             at = (at + 1) & (count - 1))
            ;
        slots[at] = *old;
    }
    free(n->slots);
    n->slots = slots;
    n->slot_count = count;
    return 1;
}

int note_number(note_numbers *n, const char *id, size_t length)
{
    note_slot *slots;
    size_t at;
    uint32_t stored = (uint32_t)length;
    if (length > 0xFFFF)
        length = stored = 0xFFFF; /* longer ids tell nothing more apart */
    if (!n->key)
        n->key = (uint64_t)(uintptr_t)n * 0x9E3779B97F4A7C15ull | 1;
    if ((size_t)(n->count + 1) * 2 > n->slot_count && !grow_slots(n))
        return 0;
    slots = (note_slot *)n->slots;
    for (at = hash_id(n, id, length) & (n->slot_count - 1); slots[at].id_at; at = (at + 1) & (n->slot_count - 1))
        if (same_id(n, slots[at].id_at, id, length))
            return slots[at].number;
    if (n->ids.size == 0)
        put_byte(&n->ids, 0); /* offset 0 marks a free slot */
    slots[at].id_at = n->ids.size;
    put_bytes(&n->ids, &stored, 4);
    put_bytes(&n->ids, id, length);
    if (n->ids.failed)
        return 0;
    slots[at].number = ++n->count;
    return n->count;
}

void note_numbers_free(note_numbers *n)
{
    free(n->ids.data);
    free(n->slots);
    memset(n, 0, sizeof *n);
}
