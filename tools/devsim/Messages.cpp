#include "Messages.h"

#include <utility>

#include "protocol/Frame.h"
#include "protocol/Json.h"

namespace devsim {
namespace {

// The envelope class, with the one thing a device needs that the tool never does:
// integer members in data[0] ("port" of a search answer, "result": 1).
class AnswerJson : public Vant::CProtocalJson {
public:
    void SetDataInt(unsigned index, const char *name, int value)
    {
        ResizeData(index + 1);
        Value &element = RootValue()["params"]["data"][index];
        element.AddMember(Value(name, GetAllocator()), Value(value), GetAllocator());
    }
    void SetSessionId(const std::string &id)
    {
        RootValue()["sessionId"].SetString(id.c_str(), static_cast<rapidjson::SizeType>(id.size()),
                                          GetAllocator());
    }
    // Replaces "params" by an empty object: an answer without "params"."data".
    void DropData()
    {
        Value &params = RootValue()["params"];
        params.SetObject();
        InitEnvelope(); // forgets the cached members
    }
};

// The frame scanner hands on bodies that validate. A device hears search requests,
// which carry no "params", as well as commands, which do: any JSON object is a
// request here, and whether "params"."data" was there is kept for the commands.
class RequestJson : public Vant::CProtocalJson {
public:
    bool Validate() override
    {
        hasData = CProtocalJson::Validate();
        return Root().IsObject();
    }
    bool hasData = false;
};

Request ReadRequest(RequestJson &json)
{
    Request r;
    r.api = json.GetApi();
    r.apiLower = LowerAscii(r.api);
    r.hasData = json.hasData;
    if (!r.hasData)
        return r;
    r.serialNo = Vant::ValueToString(json.GetDataValue(0, "serialNo"));
    for (const char *name : {"address", "subnetMask", "gateway", "dns", "mac", "description"}) {
        const Vant::CRapidJson::Value &v = json.GetDataValue(0, name);
        if (!v.IsNull())
            r.texts[name] = Vant::ValueToString(v);
    }
    const Vant::CRapidJson::Value &dhcp = json.GetDataValue(0, "dhcp");
    r.hasDhcp = !dhcp.IsNull();
    r.dhcp = Vant::ValueIsTrue(dhcp);
    return r;
}

} // namespace

std::vector<Request> RequestReader::Push(const char *data, size_t size)
{
    std::vector<Request> requests;
    if (!m_buffer.Append(data, static_cast<uint32_t>(size)))
        return requests;
    RequestJson json;
    ScanFrames(m_buffer, json, [&](Vant::CProtocalJson &) {
        requests.push_back(ReadRequest(json));
        return ScanNext::Continue;
    });
    // A frame that announces more than any request needs is not waited for.
    if (m_buffer.Length() > kMaxPending)
        m_buffer.Reset(0, false);
    return requests;
}

std::string LowerAscii(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string OtherCase(const std::string &api)
{
    std::string out = LowerAscii(api);
    bool start = true;
    for (size_t i = 0; i < out.size(); ++i) {
        char &c = out[i];
        bool upper = start || out.compare(i, 5, "brenu") == 0;
        if (upper && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        start = c == '/';
    }
    return out == api ? LowerAscii(api) : out;
}

std::string SearchAnswerBody(const DeviceSettings &d, const FaultSet &faults, const std::string &sessionId)
{
    AnswerJson json;
    json.SetApi(faults.Has(Scope::Search, Fault::ApiCase) ? OtherCase(kSearchApi) : std::string(kSearchApi));
    json.SetDataString(0, "serialNo", d.serialNo.c_str());
    json.SetDataString(0, "address", d.address.c_str());
    json.SetDataInt(0, "port", d.port);
    json.SetDataBool(0, "dhcp", d.dhcp);
    json.SetDataString(0, "subnetMask", d.subnetMask.c_str());
    json.SetDataString(0, "gateway", d.gateway.c_str());
    json.SetDataString(0, "dns", d.dns.c_str());
    json.SetDataString(0, "mac", d.mac.c_str());
    json.SetDataString(0, "description", d.description.c_str());
    if (faults.Has(Scope::Search, Fault::NoData))
        json.DropData();
    json.SetSessionId(sessionId);
    return json.ToString();
}

std::string CommandAnswerBody(const std::string &api, const std::string &serialNo, ResultForm result,
                              const FaultSet &faults, const std::string &sessionId)
{
    AnswerJson json;
    json.SetApi(faults.Has(Scope::Command, Fault::ApiCase) ? OtherCase(api) : api);
    json.SetDataString(0, "serialNo", serialNo.c_str());
    switch (result) {
    case ResultForm::True:
        json.SetDataBool(0, "result", true);
        break;
    case ResultForm::False:
        json.SetDataBool(0, "result", false);
        break;
    case ResultForm::Number:
        json.SetDataInt(0, "result", 1);
        break;
    case ResultForm::String:
        json.SetDataString(0, "result", "1");
        break;
    }
    if (faults.Has(Scope::Command, Fault::NoData))
        json.DropData();
    json.SetSessionId(sessionId);
    return json.ToString();
}

std::vector<std::string> ShapeAnswer(const std::string &body, const std::string &second, const FaultSet &faults,
                                     Scope scope, int oversizeBytes)
{
    std::string datagram;
    if (faults.Has(scope, Fault::Garbage))
        datagram += kGarbage;
    datagram += BuildFrame(body);
    if (faults.Has(scope, Fault::Double) && !second.empty())
        datagram += BuildFrame(second);
    if (faults.Has(scope, Fault::Oversize) && datagram.size() < static_cast<size_t>(oversizeBytes))
        datagram.append(static_cast<size_t>(oversizeBytes) - datagram.size(), '.');
    if (!faults.Has(scope, Fault::Split) || datagram.size() < 2)
        return {datagram};
    size_t half = datagram.size() / 2;
    return {datagram.substr(0, half), datagram.substr(half)};
}

} // namespace devsim
