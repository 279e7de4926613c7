#include "Tavrel/Output/Formatted/HTML.h"

#include "Tavrel/Output/Callback/Write.h"
#include "Tavrel/Foundation/Regex.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Tavrel::Output::Base;
using HTML = Tavrel::Output::Formatted::HTML;

Base::Options capture_into(std::string& text) {
    Base::Options o;
    o.filehandle =
        std::make_shared<Tavrel::Output::Callback::Write>([&text](std::string_view t) { text += t; });
    return o;
}

// The only markup the object may produce: its own spans and line breaks.
void expect_only_own_markup(const std::string& html) {
    static const Tavrel::Foundation::Regex own(R"(<span style="[a-z:#0-9;-]*">|</span>|<br />)");
    std::string stripped = own.replace(html, "", true);
    EXPECT_EQ(stripped.find('<'), std::string::npos) << html;
    EXPECT_EQ(stripped.find('>'), std::string::npos) << html;
    EXPECT_EQ(stripped.find('"'), std::string::npos) << html;
    EXPECT_EQ(stripped.find('\''), std::string::npos) << html;
}

const char* const HOSTILE = R"(<script>alert("x")</script> & 'quoted' <img src=x onerror=y>)";

TEST(HTMLEscaping, EveryMessageKindIsEscaped) {
    std::string html;
    HTML out(capture_into(html));
    out.error(HOSTILE);
    out.warn(HOSTILE);
    out.success(HOSTILE);
    out.output_partial(HOSTILE);
    out.output(HOSTILE);
    out.message("notice", nlohmann::ordered_json{{HOSTILE, HOSTILE}});
    expect_only_own_markup(html);
    EXPECT_NE(html.find("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; &#39;quoted&#39;"),
              std::string::npos);
    EXPECT_NE(html.find(R"(<span style="font-weight:bold;color:#dc322f">&lt;script)"),
              std::string::npos);
}

TEST(HTMLEscaping, MessageSetsAndParentContextAreEscaped) {
    std::string html;
    Base::Options o = capture_into(html);
    o.parent = Tavrel::Output::ParentContext{99, "<q>", "1", "\"", "<b>x&y</b>"};
    HTML out(o);
    out.display_message_set(std::string("Log of ") + HOSTILE,
                            std::string("error: ") + HOSTILE + "\n<tr>plain</tr>");
    expect_only_own_markup(html);
    EXPECT_NE(html.find("&lt;b&gt;x&amp;y&lt;/b"), std::string::npos);
    EXPECT_NE(html.find("&lt;tr&gt;plain&lt;/tr&gt;<br />"), std::string::npos);
}

TEST(HTMLEscaping, EscapeAndStyles) {
    EXPECT_EQ(HTML::escape(R"(a<b>&"c'd)"), "a&lt;b&gt;&amp;&quot;c&#39;d");
    EXPECT_EQ(HTML::escape("&amp;"), "&amp;amp;");
    EXPECT_EQ(HTML::style_for("bold red on_base03"),
              "font-weight:bold;color:#dc322f;background-color:#002b36");
    // Unknown words never reach the markup.
    EXPECT_EQ(HTML::style_for("\" onclick=x"), "");
}

TEST(HTMLLayout, LineBreaksAndIndent) {
    std::string html;
    HTML out(capture_into(html));
    auto guard = out.create_indent_guard();
    out.output("a\nb");
    EXPECT_EQ(html, "&nbsp;&nbsp;&nbsp;&nbsp;a<br />\n&nbsp;&nbsp;&nbsp;&nbsp;b<br />\n");
}

}  // namespace
