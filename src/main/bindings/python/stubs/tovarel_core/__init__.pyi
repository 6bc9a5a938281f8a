# Types of the tovarel_core extension module, for type checkers.  The module
# itself is one native shared object; these stubs describe what it offers.
from . import cbor as cbor
from . import delta as delta

__version__: str
