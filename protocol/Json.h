#pragma once
// JSON documents of the device protocol.
//
// Every message is a JSON object in one envelope:
//   {"version":0,"kind":0,"sessionId":"0","api":"<path>","params":{"data":[{...}, ...]}}
// IJson is the abstract document, CRapidJson keeps one RapidJSON document, and
// CProtocalJson adds the envelope defaults and the accessors of "params"."data".
// A document is used by one thread at a time; nothing here takes a lock.
#include "protocol/RapidJson.h"

#include <cstddef>
#include <string>

namespace Vant {

class IJson {
public:
    virtual ~IJson();
    // The document as compact JSON text; empty when it cannot be written.
    virtual std::string ToString() const = 0;
    // Replaces the document by the parsed NUL-terminated text; on failure the
    // document keeps what it held.
    virtual bool ParseText(const char *text) = 0;
    // Empties the document.
    virtual void Reset() = 0;
    // Checks a freshly parsed document.
    virtual bool Validate();

    // Reset, ParseText, then Validate. The std::string overload passes the
    // character data, so a NUL byte inside ends the text.
    bool Parse(const std::string &text);
    bool Parse(const char *text);
};

class CRapidJson : public IJson {
public:
    using Value = rapidjson::Value;

    CRapidJson();
    ~CRapidJson() override;
    CRapidJson(const CRapidJson &) = delete;
    CRapidJson &operator=(const CRapidJson &) = delete;

    std::string ToString() const override;
    bool ParseText(const char *text) override;
    // Frees everything the document allocated; the root becomes an empty object.
    void Reset() override;

    using IJson::Parse;
    // Parse of `length` bytes that need no terminator (a frame body in a receive
    // buffer): the same result as Parse of a NUL-terminated copy of them, so a NUL
    // byte among them ends the text.
    bool Parse(const char *bytes, std::size_t length);

    const Value &Root() const { return m_document; }

    // Documents nested deeper than this are refused by every parse: the reader
    // and the writer both recurse once per level.
    static constexpr unsigned kMaxDepth = 128;

protected:
    using Allocator = rapidjson::MemoryPoolAllocator<rapidjson::CrtAllocator>;
    using Document = rapidjson::GenericDocument<rapidjson::UTF8<>, Allocator, Allocator>;

    Value &RootValue() { return m_document; }
    Allocator &GetAllocator() { return m_valuePool; }

private:
    // ParseText of `length` bytes that need no terminator. Private: only Parse
    // uses it, after a Reset, so a derived class sees every new root through
    // Reset or ParseText.
    bool ParseBytes(const char *bytes, std::size_t length);
    template <typename Stream>
    bool ParseStream(Stream &stream);

    // A message fits in these blocks, so parsing one allocates nothing; larger
    // documents take further chunks from the heap until the next Reset.
    static constexpr std::size_t kValueBlockSize = 4096;
    static constexpr std::size_t kStackBlockSize = 4096;
    static constexpr std::size_t kParseStackCapacity = 1024;
    // Chunk size once a document outgrows its block (RapidJSON's own default).
    static constexpr std::size_t kChunkCapacity = 64 * 1024;

    rapidjson::CrtAllocator m_heap;
    alignas(16) char m_valueBlock[kValueBlockSize];
    alignas(16) char m_stackBlock[kStackBlockSize];
    Allocator m_valuePool;  // the values of the document
    Allocator m_stackPool;  // scratch of a running parse (its stacks, the text), emptied after each
    Document m_document;
};

class CProtocalJson : public CRapidJson {
public:
    CProtocalJson();
    ~CProtocalJson() override;

    // Forgets the cached members (a successful parse replaces the root they
    // point into), then parses.
    bool ParseText(const char *text) override;
    // Resets the document and puts the envelope defaults back.
    void Reset() override;
    // True when the root is an object with a "params" object that has a "data"
    // member (of any type); caches both.
    bool Validate() override;

    // Sets "version" 0, "kind" 0 and "sessionId" "0" (added when missing,
    // replaced in place when present) and forgets the cached members.
    void InitEnvelope();

    void SetApi(const std::string &api);
    std::string GetApi() const;

    // Finds "params" (an object) / "params"."data" (an array); when missing and
    // `create` is set, adds an empty one at the end. A member of the wrong type
    // counts as not found and is never replaced.
    bool EnsureParams(bool create);
    bool EnsureData(bool create);

    int GetDataCount();
    // The member `name` of data[index]; a shared null value when there is none.
    const Value &GetDataValue(unsigned index, const std::string &name);
    // The same without adding "params"."data" or caching anything: safe on a message
    // that other threads read at the same time.
    const Value &GetDataValue(unsigned index, const std::string &name) const;
    // True when the root is an object with a "params" object that has a "data"
    // member (what Validate accepts).
    bool HasData() const { return FindData() != nullptr; }
    void SetDataString(int index, const std::string &name, const char *value);
    void SetDataBool(int index, const std::string &name, bool value);
    // Appends empty objects to "data" until it has at least `count` elements.
    void ResizeData(unsigned count);

private:
    void SetMember(Value &object, const std::string &name, Value &value);
    // "params"."data" as cached, else looked up; null when there is none.
    const Value *FindData() const;
    Value *DataElement(int index);

    // Pointers into the document. They are dropped whenever the root is
    // replaced or gains or loses members, because that may move the root's
    // member array.
    Value *m_params = nullptr;
    Value *m_data = nullptr;
};

// Decimal text of a number ("%f" for floating point), the bytes of a string up
// to its first NUL, and an empty text for everything else.
std::string ValueToString(const rapidjson::Value &value);
// The literal true, a non-zero integer, or a floating-point number that is not
// equal to 0 (NaN counts as true). Everything else is false.
bool ValueIsTrue(const rapidjson::Value &value);

}  // namespace Vant
