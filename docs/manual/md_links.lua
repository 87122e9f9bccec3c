-- Links between the manual's pages point at their Markdown sources (so they work when the
-- sources are read as they are); the HTML pages link to each other's HTML instead.
function Link(link)
  if not link.target:match("^%a[%w+.-]*:") then
    link.target = link.target:gsub("^([^#]*)%.md(#?)", "%1.html%2")
  end
  return link
end
