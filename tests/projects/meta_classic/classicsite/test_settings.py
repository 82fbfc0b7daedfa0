from classicsite.settings import *  # noqa

DEBUG = True
