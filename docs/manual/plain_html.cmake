# cmake -DIN=index.md -DOUT=index.html -P plain_html.cmake
# The manual's Markdown as preformatted text in an HTML page, for builds without pandoc.
file(READ "${IN}" text)
string(REPLACE "&" "&amp;" text "${text}")
string(REPLACE "<" "&lt;" text "${text}")
string(REPLACE ">" "&gt;" text "${text}")
get_filename_component(dir "${OUT}" DIRECTORY)
file(MAKE_DIRECTORY "${dir}")
file(WRITE "${OUT}" "<!DOCTYPE html>
<html lang=\"en\">
<head><meta charset=\"utf-8\"><title>Vantorel</title></head>
<body>
<p><em>This copy of the manual is its Markdown source shown as text: pandoc was not
installed when the program was built. Install pandoc and build again for the formatted
manual.</em></p>
<pre>
${text}</pre>
</body>
</html>
")
