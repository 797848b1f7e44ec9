// list.h - the generic list behind the parameter list and the command queue.
//
// Elements are opaque pointers kept in one array, so positional access is
// constant time (the middle element is simply the one at (count - 1) / 2).
// With the copy flag set the list keeps its own malloc'd copy of each
// inserted element (meter bytes); without it, it keeps the caller's pointer.
// Deleting by position frees the element data either way, so elements handed
// over without copying must come from malloc and belong to the list.
#pragma once

#include <cstddef>
#include <vector>

namespace cms::support {

using element_comparator = int (*)(const void* a, const void* b);
using element_seeker = int (*)(const void* element, const void* key);
using element_meter = size_t (*)(const void* element);

struct list_t {
  std::vector<void*> items;
  element_comparator comparator = nullptr;
  element_seeker seeker = nullptr;
  element_meter meter = nullptr;
  int copy_data = 0;
};

// All return -1 on a null list or a refused operation.
int list_init(list_t* list);
int list_attributes_comparator(list_t* list, element_comparator fn);
int list_attributes_seeker(list_t* list, element_seeker fn);
// -1 when copy_data is set without a meter.
int list_attributes_copy(list_t* list, element_meter meter, int copy_data);

// 1 on success; -1 when pos > count or memory runs out.
int list_insert_at(list_t* list, const void* data, int pos);
int list_append(list_t* list, const void* data);
int list_prepend(list_t* list, const void* data);

// The element at pos, or null outside 0 .. count - 1.
void* list_get_at(const list_t* list, int pos);
// 0 on success (the element data is freed); -1 when pos >= count.
int list_delete_at(list_t* list, int pos);
unsigned int list_size(const list_t* list);

// Sorts so that for a before b, comparator(a, b) * (-versus) <= 0: versus -1
// gives ascending order. -1 without a comparator.
int list_sort(list_t* list, int versus);

// Empties the list; frees the element data only with the copy flag set.
int list_clear(list_t* list);
// Clears the list and releases its storage.
int list_destroy(list_t* list);

}  // namespace cms::support
