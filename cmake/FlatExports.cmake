# The names of the flat functions, read from their C header: every `TAVI_API <type> <Name>(`
# declaration. The export map of the library and the exported-symbol test both take them from here.
function(tavi_flat_function_names header out_var)
    file(READ ${header} text)
    string(REGEX MATCHALL "TAVI_API [^(;]+\\(" declarations "${text}")
    set(names)
    foreach(declaration IN LISTS declarations)
        string(REGEX REPLACE "^.*[ *]([A-Za-z0-9_]+)\\($" "\\1" name "${declaration}")
        list(APPEND names ${name})
    endforeach()
    set(${out_var} ${names} PARENT_SCOPE)
endfunction()
