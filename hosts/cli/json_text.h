/*
 * json_text.h - the little JSON the tool writes: escaped strings and a
 * builder for one object per line.
 *
 * Mail texts are 8-bit and of no known character set. JSON must be UTF-8,
 * so valid UTF-8 sequences pass unchanged and every other byte is written
 * as the code point of the same value (\u00XX, i.e. read as Latin-1): the
 * output is always valid JSON and no byte of a name is lost.
 */
#ifndef MAILWARD_TOOLS_JSON_TEXT_H
#define MAILWARD_TOOLS_JSON_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>

// `text` as a JSON string literal, quotes included.
std::string JsonString(std::string_view text);

// Builds one JSON object: Add* calls in order, then Text().
class JsonObject {
  public:
    JsonObject& AddRaw(std::string_view key, std::string_view json);
    JsonObject& AddString(std::string_view key, std::string_view value);
    // A null pointer is written as null.
    JsonObject& AddStringOrNull(std::string_view key, const std::string* value);
    JsonObject& AddInt(std::string_view key, long long value);
    JsonObject& AddBool(std::string_view key, bool value);
    std::string Text() const { return "{" + m_body + "}"; }

  private:
    std::string m_body;
};

// Builds one JSON array of already formatted values.
class JsonArray {
  public:
    JsonArray& AddRaw(std::string_view json);
    JsonArray& AddString(std::string_view value) { return AddRaw(JsonString(value)); }
    std::string Text() const { return "[" + m_body + "]"; }

  private:
    std::string m_body;
};

#endif
