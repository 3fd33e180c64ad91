#pragma once
// Icon 128, the application icon: a 32 x 32 image in XPM text, so the core keeps it as
// plain data and the view decodes it.

namespace quorlin::res {

inline constexpr int kIconXpmLines = 40;  // header, 7 colours, 32 rows
extern const char* const kIconXpm[kIconXpmLines];

}  // namespace quorlin::res
