#include "protocol/Json.h"

#include <charconv>
#include <cstdint>
#include <cstring>

namespace Vant {

namespace {

using rapidjson::SizeType;
using Value = rapidjson::Value;

Value KeyRef(const std::string &name) {
    return Value(rapidjson::StringRef(name.data(), static_cast<SizeType>(name.size())));
}

// Passes the reader's events on to the document and stops the parse at a
// nesting deeper than `maxDepth`, before the reader recurses any further.
template <typename Handler>
class DepthLimit {
public:
    DepthLimit(Handler &handler, unsigned maxDepth) : m_handler(handler), m_maxDepth(maxDepth) {}

    bool Null() { return m_handler.Null(); }
    bool Bool(bool b) { return m_handler.Bool(b); }
    bool Int(int i) { return m_handler.Int(i); }
    bool Uint(unsigned u) { return m_handler.Uint(u); }
    bool Int64(std::int64_t i) { return m_handler.Int64(i); }
    bool Uint64(std::uint64_t u) { return m_handler.Uint64(u); }
    bool Double(double d) { return m_handler.Double(d); }
    bool RawNumber(const char *s, SizeType n, bool copy) { return m_handler.RawNumber(s, n, copy); }
    bool String(const char *s, SizeType n, bool copy) { return m_handler.String(s, n, copy); }
    bool Key(const char *s, SizeType n, bool copy) { return m_handler.Key(s, n, copy); }
    bool StartObject() { return Enter() && m_handler.StartObject(); }
    bool EndObject(SizeType members) { --m_depth; return m_handler.EndObject(members); }
    bool StartArray() { return Enter() && m_handler.StartArray(); }
    bool EndArray(SizeType elements) { --m_depth; return m_handler.EndArray(elements); }

private:
    bool Enter() { return ++m_depth <= m_maxDepth; }

    Handler &m_handler;
    unsigned m_maxDepth;
    unsigned m_depth = 0;
};

}  // namespace

// ---- IJson -------------------------------------------------------------

IJson::~IJson() = default;

bool IJson::Validate() { return true; }

bool IJson::Parse(const std::string &text) { return Parse(text.c_str()); }

bool IJson::Parse(const char *text) {
    Reset();
    if (!ParseText(text))
        return false;
    return Validate();
}

// ---- CRapidJson --------------------------------------------------------

CRapidJson::CRapidJson()
    : m_valuePool(m_valueBlock, sizeof m_valueBlock, kChunkCapacity, &m_heap),
      m_stackPool(m_stackBlock, sizeof m_stackBlock, kChunkCapacity, &m_heap),
      m_document(rapidjson::kObjectType, &m_valuePool, kParseStackCapacity, &m_stackPool) {}

CRapidJson::~CRapidJson() = default;

std::string CRapidJson::ToString() const {
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    if (!m_document.Accept(writer))
        return std::string();
    return std::string(text.GetString(), text.GetSize());
}

template <typename Stream>
bool CRapidJson::ParseStream(Stream &stream) {
    bool parsed = false;
    {
        rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, Allocator> reader(&m_stackPool,
                                                                                         kParseStackCapacity);
        // Populate builds the new root aside and moves it in only on success,
        // so a failed parse leaves the old content in place.
        auto generate = [&](Document &document) {
            DepthLimit<Document> limited(document, kMaxDepth);
            parsed = !reader.Parse<rapidjson::kParseDefaultFlags>(stream, limited).IsError();
            return parsed;
        };
        m_document.Populate(generate);
    }
    // Both parse stacks have given their blocks back by now.
    m_stackPool.Clear();
    return parsed;
}

bool CRapidJson::ParseText(const char *text) {
    if (text == nullptr)
        return false;
    rapidjson::StringStream stream(text);
    return ParseStream(stream);
}

bool CRapidJson::ParseBytes(const char *bytes, std::size_t length) {
    if (bytes == nullptr && length != 0)
        return false;
    // A terminated copy in the scratch pool parses faster than a bounded stream
    // (which tests for the end at every byte) and reads exactly like ParseText:
    // the text ends at the first NUL.
    char *text = static_cast<char *>(m_stackPool.Malloc(length + 1));
    if (text == nullptr) {
        m_stackPool.Clear();
        return false;
    }
    std::memcpy(text, bytes, length);
    text[length] = '\0';
    rapidjson::StringStream stream(text);
    return ParseStream(stream);  // empties the scratch pool when done
}

bool CRapidJson::Parse(const char *bytes, std::size_t length) {
    Reset();
    if (!ParseBytes(bytes, length))
        return false;
    return Validate();
}

void CRapidJson::Reset() {
    m_document.SetObject();
    m_valuePool.Clear();
}

// ---- CProtocalJson -----------------------------------------------------

CProtocalJson::CProtocalJson() { InitEnvelope(); }

CProtocalJson::~CProtocalJson() = default;

bool CProtocalJson::ParseText(const char *text) {
    m_params = nullptr;
    m_data = nullptr;
    return CRapidJson::ParseText(text);
}

void CProtocalJson::Reset() {
    CRapidJson::Reset();
    InitEnvelope();
}

bool CProtocalJson::Validate() {
    m_params = nullptr;
    m_data = nullptr;
    Value &root = RootValue();
    if (!root.IsObject())
        return false;
    const auto params = root.FindMember("params");
    if (params == root.MemberEnd() || !params->value.IsObject())
        return false;
    const auto data = params->value.FindMember("data");
    if (data == params->value.MemberEnd())
        return false;
    m_params = &params->value;
    m_data = &data->value;
    return true;
}

void CProtocalJson::SetMember(Value &object, const std::string &name, Value &value) {
    const auto found = object.FindMember(KeyRef(name));
    if (found != object.MemberEnd()) {
        found->value = value;  // moves: the member keeps its place
        return;
    }
    Value key(name.data(), static_cast<SizeType>(name.size()), GetAllocator());
    object.AddMember(key, value, GetAllocator());
}

void CProtocalJson::InitEnvelope() {
    m_params = nullptr;
    m_data = nullptr;
    Value &root = RootValue();
    if (!root.IsObject())
        return;
    Value version(0);
    SetMember(root, "version", version);
    Value kind(0);
    SetMember(root, "kind", kind);
    Value session("0", GetAllocator());
    SetMember(root, "sessionId", session);
}

void CProtocalJson::SetApi(const std::string &api) {
    Value &root = RootValue();
    if (!root.IsObject())
        return;
    Value text(api.data(), static_cast<SizeType>(api.size()), GetAllocator());
    const SizeType before = root.MemberCount();
    SetMember(root, "api", text);
    if (root.MemberCount() != before) {
        m_params = nullptr;
        m_data = nullptr;
    }
}

std::string CProtocalJson::GetApi() const {
    const Value &root = Root();
    if (!root.IsObject())
        return std::string();
    const auto api = root.FindMember("api");
    return api == root.MemberEnd() ? std::string() : ValueToString(api->value);
}

bool CProtocalJson::EnsureParams(bool create) {
    if (m_params != nullptr)
        return true;
    Value &root = RootValue();
    if (!root.IsObject())
        return false;
    const auto found = root.FindMember("params");
    if (found != root.MemberEnd()) {
        if (!found->value.IsObject())
            return false;
        m_params = &found->value;
        return true;
    }
    if (!create)
        return false;
    root.AddMember("params", Value(rapidjson::kObjectType), GetAllocator());
    m_params = &(root.MemberEnd() - 1)->value;
    return true;
}

bool CProtocalJson::EnsureData(bool create) {
    if (!EnsureParams(create))
        return false;
    if (m_data == nullptr) {
        const auto found = m_params->FindMember("data");
        if (found != m_params->MemberEnd()) {
            m_data = &found->value;
        } else {
            if (!create)
                return false;
            m_params->AddMember("data", Value(rapidjson::kArrayType), GetAllocator());
            m_data = &(m_params->MemberEnd() - 1)->value;
        }
    }
    return m_data->IsArray();
}

int CProtocalJson::GetDataCount() {
    return EnsureData(true) ? static_cast<int>(m_data->Size()) : 0;
}

namespace {

const rapidjson::Value &DataMember(const rapidjson::Value *data, unsigned index, const std::string &name) {
    static const rapidjson::Value null;
    if (data == nullptr || !data->IsArray() || index >= data->Size())
        return null;
    const rapidjson::Value &element = (*data)[index];
    if (!element.IsObject())
        return null;
    const auto found = element.FindMember(KeyRef(name));
    return found == element.MemberEnd() ? null : found->value;
}

}  // namespace

const CProtocalJson::Value &CProtocalJson::GetDataValue(unsigned index, const std::string &name) {
    return DataMember(EnsureData(true) ? m_data : nullptr, index, name);
}

const CProtocalJson::Value &CProtocalJson::GetDataValue(unsigned index, const std::string &name) const {
    return DataMember(FindData(), index, name);
}

const CProtocalJson::Value *CProtocalJson::FindData() const {
    if (m_data != nullptr)
        return m_data;
    const Value &root = Root();
    if (!root.IsObject())
        return nullptr;
    const auto params = root.FindMember("params");
    if (params == root.MemberEnd() || !params->value.IsObject())
        return nullptr;
    const auto data = params->value.FindMember("data");
    return data == params->value.MemberEnd() ? nullptr : &data->value;
}

void CProtocalJson::ResizeData(unsigned count) {
    if (!EnsureData(true))
        return;
    while (m_data->Size() < count)
        m_data->PushBack(Value(rapidjson::kObjectType), GetAllocator());
}

CProtocalJson::Value *CProtocalJson::DataElement(int index) {
    if (index < 0 || !EnsureData(true))
        return nullptr;
    ResizeData(static_cast<unsigned>(index) + 1);
    Value &element = (*m_data)[static_cast<SizeType>(index)];
    // An element that a parsed message made something else than an object has no
    // members to set.
    return element.IsObject() ? &element : nullptr;
}

void CProtocalJson::SetDataString(int index, const std::string &name, const char *value) {
    if (value == nullptr)
        return;
    if (Value *element = DataElement(index)) {
        Value text(value, GetAllocator());
        SetMember(*element, name, text);
    }
}

void CProtocalJson::SetDataBool(int index, const std::string &name, bool value) {
    if (Value *element = DataElement(index)) {
        Value flag(value);
        SetMember(*element, name, flag);
    }
}

// ---- value helpers -----------------------------------------------------

std::string ValueToString(const rapidjson::Value &value) {
    if (value.IsString())
        return std::string(value.GetString());  // up to the first NUL
    if (value.IsDouble()) {
        // "%f" as in the C locale. std::to_string would follow LC_NUMERIC, which
        // QApplication sets from the environment, and write "1,500000" for 1.5
        // under a German locale. DBL_MAX takes 309 digits before the point.
        char text[320];
        const auto written = std::to_chars(text, text + sizeof text, value.GetDouble(), std::chars_format::fixed, 6);
        return written.ec == std::errc() ? std::string(text, written.ptr) : std::string();
    }
    if (value.IsInt())
        return std::to_string(value.GetInt());
    if (value.IsUint())
        return std::to_string(value.GetUint());
    if (value.IsInt64())
        return std::to_string(value.GetInt64());
    if (value.IsUint64())
        return std::to_string(value.GetUint64());
    return std::string();
}

bool ValueIsTrue(const rapidjson::Value &value) {
    if (value.IsBool())
        return value.GetBool();
    if (value.IsDouble())
        return !(value.GetDouble() == 0.0);
    if (value.IsUint64())
        return value.GetUint64() != 0;
    if (value.IsInt64())
        return value.GetInt64() != 0;
    return false;
}

}  // namespace Vant
