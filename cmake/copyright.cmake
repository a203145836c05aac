# Writes LICENSE as a machine-readable Debian copyright file.
#   cmake -DLICENCA=LICENSE -DSAIDA=copyright -DPACOTE=name -P copyright.cmake
# LICENSE is the MIT licence (Debian's name for it: Expat): a title, the
# "Copyright (c) ..." line, then the licence's text.
file(STRINGS "${LICENCA}" linhas)
set(dono "")
set(corpo "")
foreach(linha IN LISTS linhas)
  if(linha MATCHES "^Copyright \\(c\\) (.+)$")
    set(dono "${CMAKE_MATCH_1}")
  elseif(NOT dono STREQUAL "")
    if(linha STREQUAL "")
      string(APPEND corpo " .\n")
    else()
      string(APPEND corpo " ${linha}\n")
    endif()
  endif()
endforeach()
if(dono STREQUAL "")
  message(FATAL_ERROR "${LICENCA}: no \"Copyright (c)\" line")
endif()
string(REGEX REPLACE "^ \\.\n" "" corpo "${corpo}")
file(WRITE "${SAIDA}" "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PACOTE}

Files: *
Copyright: ${dono}
License: Expat
${corpo}")
