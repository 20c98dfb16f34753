# Folds the page into one index.html: the style, the page's script, and the
# worker (both plug-in modules, their wasm already inlined, the ZIP writer, then
# worker.js) as the text of a script element that the page starts from a blob.
# One file works from any static server and from file://, where a page may not
# fetch siblings.
# Usage: cmake -DPAGE_DIR=... -DIMAGE_MODULE=... -DARCHIVE_MODULE=... -DOUTPUT=... -P
foreach(variable PAGE_DIR IMAGE_MODULE ARCHIVE_MODULE OUTPUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "assemble_page.cmake needs -D${variable}=...")
  endif()
endforeach()

file(READ ${PAGE_DIR}/index.html page)
file(READ ${PAGE_DIR}/style.css style)
file(READ ${PAGE_DIR}/zip.js zip)
file(READ ${PAGE_DIR}/app.js app)
file(READ ${IMAGE_MODULE} image)
file(READ ${ARCHIVE_MODULE} archive)
file(READ ${PAGE_DIR}/worker.js worker)

# Inside a script element the text must not close it early.
foreach(part zip app image archive worker)
  string(TOLOWER "${${part}}" lower)
  string(FIND "${lower}" "</script" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${part}: holds '</script', which would end its script element")
  endif()
  string(FIND "${lower}" "<!--" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${part}: holds '<!--', which changes how a script element is read")
  endif()
endforeach()

string(REPLACE "/* qrv:style */" "${style}" page "${page}")
string(REPLACE "/* qrv:worker */" "${image}\n${archive}\n${zip}\n${worker}" page "${page}")
string(REPLACE "/* qrv:app */" "${app}" page "${page}")
file(WRITE ${OUTPUT}.part "${page}")
file(RENAME ${OUTPUT}.part ${OUTPUT})
