#include "json_text.h"

#include "hub_model.h"

std::string JsonString(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text = "\"";
  for (char ch : bytes) {
    unsigned char code = static_cast<unsigned char>(ch);
    switch (code) {
      case '"':
        text += "\\\"";
        break;
      case '\\':
        text += "\\\\";
        break;
      case '\b':
        text += "\\b";
        break;
      case '\f':
        text += "\\f";
        break;
      case '\n':
        text += "\\n";
        break;
      case '\r':
        text += "\\r";
        break;
      case '\t':
        text += "\\t";
        break;
      default:
        if (code < 0x20 || code >= 0x7F) {
          text += "\\u00";
          text += kDigits[code >> 4];
          text += kDigits[code & 0xF];
        } else {
          text += ch;
        }
    }
  }
  return text + "\"";
}

// A port list of ParsePortStates ("2,3,6" or "None") as a JSON array.
static std::string JsonPortList(const std::string& list) {
  return list == "None" ? "[]" : "[" + list + "]";
}

std::string HubJson(const std::string& device, int nPorts,
                    const std::string& fw, std::uint64_t PS64,
                    const std::string& vendor, const std::string& product,
                    const std::string& serial) {
  std::string on;
  std::string off;
  ParsePortStates(PS64, nPorts, &on, &off);
  std::string hex;
  htos_PS64(PS64, &hex);
  return "{\"device\":" + JsonString(device) + ",\"ports\":" + my_itos(nPorts) +
         ",\"firmware\":" + JsonString(fw) + ",\"on\":" + JsonPortList(on) +
         ",\"off\":" + JsonPortList(off) + ",\"hex\":" + JsonString(hex) +
         ",\"binary\":" + JsonString(PortStateBits(PS64, nPorts)) +
         (vendor.empty() ? "" : ",\"usb_vendor\":" + JsonString(vendor)) +
         (product.empty() ? "" : ",\"usb_product\":" + JsonString(product)) +
         (serial.empty() ? "" : ",\"usb_serial\":" + JsonString(serial)) + "}";
}

std::string JsonArray(const std::vector<std::string>& elements) {
  std::string text = "[";
  for (const std::string& element : elements) {
    if (text.size() > 1) text += ",";
    text += element;
  }
  return text + "]";
}
