# A module that does not parse: migrations importing from it are still checked.
def broken(:
    pass
