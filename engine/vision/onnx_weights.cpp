#include "engine/vision/onnx_weights.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace OnnxWeights {

namespace {

// Field numbers of the ONNX messages read here.
constexpr int modelGraph = 7;         // ModelProto.graph
constexpr int graphInitializer = 5;   // GraphProto.initializer
constexpr int tensorDims = 1;         // TensorProto.dims
constexpr int tensorDataType = 2;     // TensorProto.data_type
constexpr int tensorFloatData = 4;    // TensorProto.float_data
constexpr int tensorName = 8;         // TensorProto.name
constexpr int tensorRawData = 9;      // TensorProto.raw_data
constexpr int tensorDataLocation = 14;  // TensorProto.data_location
constexpr std::uint64_t floatType = 1;  // TensorProto.DataType.FLOAT

enum Wire { varint = 0, fixed64 = 1, lengthDelimited = 2, fixed32 = 5 };

struct Field {
    int number = 0;
    int wire = 0;
    std::uint64_t value = 0;  // varint and fixed-size fields
    std::string_view bytes;   // length-delimited fields
};

// Reads the fields of one message in order.
class Message {
public:
    explicit Message(std::string_view bytes) : rest_(bytes) {}

    bool next(Field& field) {
        if (rest_.empty()) return false;
        const std::uint64_t key = readVarint();
        field = Field{};
        field.number = int(key >> 3);
        field.wire = int(key & 7);
        switch (field.wire) {
        case varint:
            field.value = readVarint();
            break;
        case fixed64:
            field.value = readFixed(8);
            break;
        case fixed32:
            field.value = readFixed(4);
            break;
        case lengthDelimited: {
            const std::uint64_t length = readVarint();
            if (length > rest_.size()) throw BadFile("truncated field");
            field.bytes = rest_.substr(0, std::size_t(length));
            rest_.remove_prefix(std::size_t(length));
            break;
        }
        default:
            throw BadFile("unsupported field encoding");
        }
        return true;
    }

    std::uint64_t readVarint() {
        std::uint64_t result = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (rest_.empty()) throw BadFile("truncated number");
            const auto byte = std::uint8_t(rest_.front());
            rest_.remove_prefix(1);
            result |= std::uint64_t(byte & 0x7f) << shift;
            if (!(byte & 0x80)) return result;
        }
        throw BadFile("overlong number");
    }

    bool empty() const { return rest_.empty(); }

private:
    std::uint64_t readFixed(std::size_t size) {
        if (rest_.size() < size) throw BadFile("truncated field");
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i) value |= std::uint64_t(std::uint8_t(rest_[i])) << (8 * i);
        rest_.remove_prefix(size);
        return value;
    }

    std::string_view rest_;
};

float floatFromBits(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Little-endian 32-bit floats, as raw_data and packed float_data store them.
void appendFloats(std::string_view bytes, std::vector<float>& out) {
    if (bytes.size() % 4) throw BadFile("tensor data of odd length");
    const std::size_t start = out.size();
    out.resize(start + bytes.size() / 4);
    for (std::size_t i = 0; i < bytes.size() / 4; ++i) {
        std::uint32_t bits = 0;
        for (int b = 0; b < 4; ++b) bits |= std::uint32_t(std::uint8_t(bytes[4 * i + b])) << (8 * b);
        out[start + i] = floatFromBits(bits);
    }
}

// One TensorProto; false when it is not a float tensor held in the file.
bool readTensor(std::string_view bytes, std::string& name, Tensor& tensor) {
    Message message(bytes);
    Field field;
    std::uint64_t type = 0;
    bool external = false;
    std::vector<float> floatData;
    std::string_view raw;
    bool hasRaw = false;
    while (message.next(field)) {
        switch (field.number) {
        case tensorDims:
            if (field.wire == varint) {
                tensor.shape.push_back(std::int64_t(field.value));
            } else if (field.wire == lengthDelimited) {
                Message packed(field.bytes);
                while (!packed.empty()) tensor.shape.push_back(std::int64_t(packed.readVarint()));
            }
            break;
        case tensorDataType:
            type = field.value;
            break;
        case tensorFloatData:
            if (field.wire == fixed32) floatData.push_back(floatFromBits(std::uint32_t(field.value)));
            else if (field.wire == lengthDelimited) appendFloats(field.bytes, floatData);
            break;
        case tensorName:
            name.assign(field.bytes);
            break;
        case tensorRawData:
            raw = field.bytes;
            hasRaw = true;
            break;
        case tensorDataLocation:
            external = field.value != 0;
            break;
        default:
            break;
        }
    }
    if (type != floatType || external) return false;
    if (hasRaw) appendFloats(raw, tensor.values);
    else tensor.values = std::move(floatData);
    // The values are already in memory, so a shape whose product exceeds
    // their count is wrong however large it is; the check avoids overflow.
    std::uint64_t count = 1;
    for (std::int64_t d : tensor.shape) {
        if (d < 0) throw BadFile("bad tensor shape");
        if (d != 0 && count > tensor.values.size() / std::uint64_t(d) + 1) throw BadFile("bad tensor shape");
        count *= std::uint64_t(d);
    }
    if (count != tensor.values.size()) throw BadFile("tensor " + name + " holds the wrong number of values");
    return true;
}

std::string_view onlyField(std::string_view message, int number) {
    Message m(message);
    Field field;
    std::string_view found;
    bool seen = false;
    while (m.next(field))
        if (field.number == number && field.wire == lengthDelimited) {
            found = field.bytes;
            seen = true;
        }
    if (!seen) throw BadFile("not an ONNX model");
    return found;
}

}  // namespace

std::map<std::string, Tensor> parse(std::string_view bytes) {
    const std::string_view graph = onlyField(bytes, modelGraph);
    std::map<std::string, Tensor> tensors;
    Message m(graph);
    Field field;
    while (m.next(field)) {
        if (field.number != graphInitializer || field.wire != lengthDelimited) continue;
        std::string name;
        Tensor tensor;
        if (readTensor(field.bytes, name, tensor)) tensors[name] = std::move(tensor);
    }
    return tensors;
}

std::map<std::string, Tensor> read(const std::filesystem::path& modelFile) {
    std::ifstream in(modelFile, std::ios::binary);
    if (!in) throw BadFile("cannot read " + modelFile.filename().string());
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parse(bytes);
}

}  // namespace OnnxWeights
