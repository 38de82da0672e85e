#include "validation/tag_vocabulary.h"

namespace TETLib {

#define TETLIB_DEFINE_TAG(name, text) const Qel::PString kTag##name(text);
TETLIB_TAG_VOCABULARY(TETLIB_DEFINE_TAG)
#undef TETLIB_DEFINE_TAG

std::span<const VocabularyEntry> TagVocabulary() {
#define TETLIB_LIST_TAG(name, text) {&kTag##name, text},
  static const VocabularyEntry entries[] = {TETLIB_TAG_VOCABULARY(TETLIB_LIST_TAG)};
#undef TETLIB_LIST_TAG
  return entries;
}

}  // namespace TETLib
