from . import console

console()
