// The value codec of a store that a Reader reads: the dictionary its header marks. A
// store whose header marks none holds its values as they are, whatever they look like.
#pragma once

#include <memory>

#include "codec/compression.hpp"
#include "read/reader.hpp"
#include "util/store_error.hpp"

namespace vornel {

// The codec of the dictionary that the header of `reader`'s store marks, or nullptr when
// it marks none (or its marks were not read). With `checked`, a key that names the
// dictionary's record is damage too, which reads the index.
[[nodiscard]] Result<std::unique_ptr<ValueCodec>> open_value_codec(const Reader& reader,
                                                                   bool checked);

// What verify() adds for a store whose header marks a dictionary: that no key names its
// record, and that every compressed value a key names is one whole frame declaring a
// size that the dictionary's record allows.
[[nodiscard]] Status verify_value_codec(const Reader& reader, const ValueCodec& codec);

}  // namespace vornel
