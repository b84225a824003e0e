// The one crossing between the window's text (QString) and the 8-bit text of statements,
// settings and files. Our 8-bit text is UTF-8, so every character survives the trip.
#pragma once

#include <string>
#include <string_view>

#include <QString>

namespace app {

// The UTF-8 bytes of `text`.
inline std::string ToBytes(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// `bytes` read as UTF-8. Bytes that are not valid UTF-8 show as U+FFFD on screen only;
// nothing converted back from the window ever comes from such a field.
inline QString FromBytes(std::string_view bytes) {
  return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

}  // namespace app
