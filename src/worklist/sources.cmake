# Files of the worklist subsystem, relative to src/.
set(WORKLIST_CORE_SOURCES)
set(WORKLIST_GUI_SOURCES)
