"""The block pipeline behind vorlane-decode-dask and vorlane-decode-spark:
files of payload lines cut into blocks, each decoded by a worker into part
files that, read in name order, are what vorlane-decode writes for the
same files.

    plan     the command line, the inputs and their blocks (the client)
    client   checks before a cluster starts, progress, summary, exit status
    worker   a worker's task: one block, or the renumbering of its failures
    tool     the tool decoder: vorlane-decode fed a block from the file
    parse    the parse decoder: BinaryParser().parse line by line
    output   the output folder, parts put in place whole, _SUCCESS
    paths    local paths and fsspec URLs

Workers import this package, so it must be installed where they run, as the
module must. docs/scaling-out.md describes the commands.
"""
