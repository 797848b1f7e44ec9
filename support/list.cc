// list.cc - array-backed generic list with positional access.
#include "support/list.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace cms::support {

int list_init(list_t* list) {
  if (list == nullptr) return -1;
  list->items.clear();
  list->comparator = nullptr;
  list->seeker = nullptr;
  list->meter = nullptr;
  list->copy_data = 0;
  return 0;
}

int list_attributes_comparator(list_t* list, element_comparator fn) {
  if (list == nullptr) return -1;
  list->comparator = fn;
  return 0;
}

int list_attributes_seeker(list_t* list, element_seeker fn) {
  if (list == nullptr) return -1;
  list->seeker = fn;
  return 0;
}

int list_attributes_copy(list_t* list, element_meter meter, int copy_data) {
  if (list == nullptr || (copy_data != 0 && meter == nullptr)) return -1;
  list->meter = meter;
  list->copy_data = copy_data;
  return 0;
}

int list_insert_at(list_t* list, const void* data, int pos) {
  if (list == nullptr || pos < 0 ||
      static_cast<size_t>(pos) > list->items.size()) {
    return -1;
  }
  void* stored = const_cast<void*>(data);
  if (list->copy_data != 0 && data != nullptr) {
    const size_t size = list->meter(data);
    stored = malloc(size);
    if (stored == nullptr) return -1;
    memcpy(stored, data, size);
  }
  try {
    list->items.insert(list->items.begin() + pos, stored);
  } catch (...) {
    if (stored != data) free(stored);
    return -1;
  }
  return 1;
}

int list_append(list_t* list, const void* data) {
  if (list == nullptr) return -1;
  return list_insert_at(list, data, static_cast<int>(list->items.size()));
}

int list_prepend(list_t* list, const void* data) {
  return list_insert_at(list, data, 0);
}

void* list_get_at(const list_t* list, int pos) {
  if (list == nullptr || pos < 0 ||
      static_cast<size_t>(pos) >= list->items.size()) {
    return nullptr;
  }
  return list->items[static_cast<size_t>(pos)];
}

int list_delete_at(list_t* list, int pos) {
  if (list == nullptr || pos < 0 ||
      static_cast<size_t>(pos) >= list->items.size()) {
    return -1;
  }
  free(list->items[static_cast<size_t>(pos)]);
  list->items.erase(list->items.begin() + pos);
  return 0;
}

unsigned int list_size(const list_t* list) {
  return list == nullptr ? 0 : static_cast<unsigned int>(list->items.size());
}

int list_sort(list_t* list, int versus) {
  if (list == nullptr || list->comparator == nullptr) return -1;
  if (list->items.size() < 2 || versus == 0) return 0;
  const element_comparator cmp = list->comparator;
  if (versus < 0) {
    std::sort(list->items.begin(), list->items.end(),
              [cmp](const void* a, const void* b) { return cmp(a, b) < 0; });
  } else {
    std::sort(list->items.begin(), list->items.end(),
              [cmp](const void* a, const void* b) { return cmp(a, b) > 0; });
  }
  return 0;
}

int list_clear(list_t* list) {
  if (list == nullptr) return -1;
  if (list->copy_data != 0) {
    for (void* p : list->items) free(p);
  }
  list->items.clear();
  return 0;
}

int list_destroy(list_t* list) {
  if (list_clear(list) != 0) return -1;
  list->items.shrink_to_fit();
  return 0;
}

}  // namespace cms::support
