# Turns man/FILES.md into the roff body of the manual page's FILES section:
# "## Title" becomes a subsection, "- item" (with its indented continuation
# lines) a tagged paragraph, any other text a plain paragraph. Code spans are
# set in bold; the bracketed module settings, which matter to developers and
# not to readers of the page, are left out.
#
#   awk -f man/files-section.awk man/FILES.md

function flush(   t) {
    if (kind == "")
        return
    t = text
    gsub(/ *\[`[^]]*\]/, "", t)
    gsub(/\\/, "\\e", t)
    gsub(/—/, "\\(em", t)
    gsub(/–/, "\\(en", t)
    gsub(/“/, "\\(lq", t)
    gsub(/”/, "\\(rq", t)
    gsub(/’/, "\\(aq", t)
    gsub(/->/, "\\(->", t)
    t = code(t)
    if (kind == "item")
        print ".IP \\(bu 2"
    else
        print ".PP"
    if (t ~ /^[.']/)
        t = "\\&" t
    print t
    kind = ""
    text = ""
}

function code(s,   out, i) {
    out = ""
    while ((i = index(s, "`")) > 0) {
        out = out substr(s, 1, i - 1)
        s = substr(s, i + 1)
        i = index(s, "`")
        if (i == 0) {
            out = out "`"
            break
        }
        out = out "\\fB" substr(s, 1, i - 1) "\\fR"
        s = substr(s, i + 1)
    }
    return out s
}

/^# / { next }
# The introduction speaks of the bracketed settings: the page has its own.
!seen_section && !/^## / { next }
/^## / { flush(); seen_section = 1; sub(/^## +/, ""); print ".SS " $0; next }
/^[ \t]*$/ { flush(); next }
/^- / { flush(); kind = "item"; text = substr($0, 3); next }
/^[ \t]+/ && kind != "" { sub(/^[ \t]+/, ""); text = text " " $0; next }
{
    if (kind == "") { kind = "para"; text = $0 } else text = text " " $0
}
END { flush() }
