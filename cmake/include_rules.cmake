# Which top folders each folder may include from. The build gives each folder
# an include root holding only these (include_views.cmake), and
# check_includes.cmake reads every source against them, netcore's layers
# included.
#
# A folder may always include its own files. Beyond that:
set(_allowed_common "")
set(_allowed_sandbox common)
set(_allowed_netcore common)
set(_allowed_agent common netcore)
set(_allowed_hardware common)
# The supervisor gives fans back for a hardware service that died, with that
# service's own firmware code.
set(_allowed_supervisor common hardware)
set(_allowed_tools common)
set(_allowed_bench common sandbox netcore agent hardware supervisor tools)
# The tests reach into every room but the benches.
set(_allowed_tests common sandbox netcore agent hardware supervisor tools)
set(_folders common sandbox netcore agent hardware supervisor tools bench tests)

# Inside netcore/ the subfolders are layers, bottom to top; the files at
# netcore/'s top (netcore_base) sit above them all. A layer may include its
# own files and the layers below it, never one above: the event layer calls
# back through an interface rather than knowing sockets, and so on.
set(_netcore_layers alloter log os buffer event socket thread)
