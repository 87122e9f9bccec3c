# cmake -DIN=index.md -DOUT=index.html [-DPAGES=index,opening,...] -P plain_html.cmake
# A page of the manual as preformatted text in an HTML page, for builds without pandoc,
# with links to every page (PAGES, each NAME.html beside OUT) above the text.
file(READ "${IN}" text)
string(REPLACE "&" "&amp;" text "${text}")
string(REPLACE "<" "&lt;" text "${text}")
string(REPLACE ">" "&gt;" text "${text}")
set(nav "")
if(PAGES)
  string(REPLACE "," ";" pages "${PAGES}")
  foreach(page IN LISTS pages)
    string(APPEND nav "<a href=\"${page}.html\">${page}</a>\n")
  endforeach()
  set(nav "<p>Pages: ${nav}</p>\n")
endif()
get_filename_component(dir "${OUT}" DIRECTORY)
file(MAKE_DIRECTORY "${dir}")
file(WRITE "${OUT}" "<!DOCTYPE html>
<html lang=\"en\">
<head><meta charset=\"utf-8\"><title>Vantorel</title></head>
<body>
<p><em>This copy of the manual is its Markdown source shown as text: pandoc was not
installed when the program was built. Install pandoc and build again for the formatted
manual.</em></p>
${nav}<pre>
${text}</pre>
</body>
</html>
")
