# What the Windows program needs beside it, installed with it so that `cmake --install` gives a
# folder that runs on a workshop PC as it is: Qt's DLLs and the plugins the program loads, and
# the MinGW-w64 runtime of the compiler that built it.
set(_qt_dlls Core Gui Widgets Network Sql)
foreach(module ${_qt_dlls})
    install(FILES $<TARGET_FILE:Qt6::${module}> DESTINATION .)
endforeach()

# plugin target : folder beside the executable (Qt looks there without a qt.conf)
set(_qt_plugins
    QWindowsIntegrationPlugin:platforms      # the desktop
    QOffscreenIntegrationPlugin:platforms    # --unattended without a screen, tests under Wine
    QSQLiteDriverPlugin:sqldrivers           # Backend=sqlite
    QODBCDriverPlugin:sqldrivers             # Backend=odbc
    QJpegPlugin:imageformats                 # the window's pictures are JPEG
    QWindowsVistaStylePlugin:styles)         # the native look of buttons and boxes
foreach(entry ${_qt_plugins})
    string(REPLACE ":" ";" entry ${entry})
    list(GET entry 0 plugin)
    list(GET entry 1 folder)
    if(NOT TARGET Qt6::${plugin})
        message(FATAL_ERROR "the Qt prefix has no ${plugin} (plugins/${folder})")
    endif()
    install(FILES $<TARGET_FILE:Qt6::${plugin}> DESTINATION ${folder})
endforeach()

foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
        OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${dll} is")
    endif()
    install(FILES ${_path} DESTINATION .)
endforeach()
