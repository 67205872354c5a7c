# cmake -DHEADER=file -DTABLE=file -DOUTPUT=file -P splice_header.cmake
# The layer's public header as it is installed: the table of statuses that
# it includes (common/statuses.def) written into it, so that it stands
# alone.
file(READ ${HEADER} text)
file(READ ${TABLE} table)
string(REPLACE "#include \"statuses.def\"" "${table}" text "${text}")
file(WRITE ${OUTPUT}.new "${text}")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
