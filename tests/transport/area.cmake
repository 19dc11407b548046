# The miniports load the fake bus libraries from the test program's folder; the check of the run
# folder learns where that folder is.
corvane_bus_fakes(${name})
target_compile_definitions(${name} PRIVATE CORVANE_RUN_FOLDER="$<TARGET_FILE_DIR:Corvane>")
