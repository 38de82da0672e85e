#include "scripthost/gso_html_buffer.h"

#include "gsruntime/gs_string.h"
#include "scripthost/native_binding.h"
#include "scripthost/script_class_registry.h"

using GSRuntime::GSHandle;
using GSRuntime::GSStack;

void HTMLBuffer::Clear() {
  bytes_.clear();
  isEmpty_ = 1;
}

std::string_view HTMLBuffer::Text() const {
  const std::string_view text(bytes_);
  return text.substr(0, text.find('\0'));
}

void HTMLBuffer::Escape(std::string_view text) {
  // The text ends at its first zero byte, as a C string would.
  text = text.substr(0, text.find('\0'));
  if (text.empty()) return;
  isEmpty_ = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '<':
        bytes_.append("&lt;");
        break;
      case '>':
        bytes_.append("&gt;");
        break;
      case '&':
        bytes_.append("&amp;");
        break;
      case '\r':
      case '\n': {
        // CR LF and LF CR are one line end; CR CR are two.
        bytes_.append("<br>");
        const char pair = c == '\r' ? '\n' : '\r';
        if (i + 1 < text.size() && text[i + 1] == pair) ++i;
        break;
      }
      default:
        bytes_.push_back(c);
    }
  }
}

GSHandle GSOHTMLBuffer::New(GSRuntime::GSContext* owner) {
  return ScriptHost::BindNewObject(new GSOHTMLBuffer(), ScriptHost::ScriptClassId::kHTMLBuffer,
                                   owner);
}

void GSOHTMLBuffer::Clear(GSStack*) { HTMLBuffer::Clear(); }

void GSOHTMLBuffer::IsEmpty(GSStack* stack) { stack->PushInt(HTMLBuffer::IsEmpty() ? 1 : 0); }

void GSOHTMLBuffer::AsString(GSStack* stack) { GSRuntime::PushString(stack, Text()); }

void GSOHTMLBuffer::Print(GSStack* stack) {
  if (const GSRuntime::GSString* text = GSRuntime::StringParam(stack, 1)) {
    HTMLBuffer::Print(text->View());
  }
}

void GSOHTMLBuffer::Escape(GSStack* stack) {
  if (const GSRuntime::GSString* text = GSRuntime::StringParam(stack, 1)) {
    HTMLBuffer::Escape(text->View());
  }
}

bool GSOHTMLBuffer::Construct(GSHandle object, GSStack* stack) {
  return GSRuntime::PushCounted(stack, New(GSRuntime::CallingContext(object)));
}
