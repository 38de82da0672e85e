#include "gscompiler/compile_driver.h"

namespace {

constexpr const char kManual[] =
    R"manual(OLBEK GameScript
Language and Compiler Manual
Compiler version 1.02

Contents

  1.0  Introduction
  2.0  The language
       2.1   Comments
       2.2   Keywords
       2.3   Identifiers
       2.4   Constants
       2.5   Types
       2.6   Operators
       2.7   Class declaration
       2.8   Function declaration
       2.9   Control flow statements
       2.10  Grammar
  3.0  The compiler
  4.0  The library file
  5.0  The byte code
  6.0  The runtime environment
  7.0  Compiler source files
  8.0  Runtime source files
  9.0  Using OLBEK GameScript


1.0  Introduction
=================

GameScript is a small, statically typed, class based language in which the
objects of a simulation carry their behaviour. A script source describes one
or more classes. Each class holds data members and functions; a class may
derive from one or more other classes, and game classes may run several
cooperative threads that wait for messages from other objects.

Sources are plain text files with the extension ".gs". They can also be kept
packed, with the extension ".gse"; the compiler reads both forms. The
compiler turns one source file, together with every file that it includes,
into one library with the extension ".gsl". Libraries hold byte code for a
small stack machine and are loaded, linked and run by the runtime of the
host program. A library is only written when the source compiles without a
single error.

The language will look familiar to anyone who has written C, C++ or Java:
statements end in semicolons, blocks are enclosed in braces and expressions
use the usual operators. A few things are different and are worth reading
about before you start:

  - the logical operators are the words "and" and "or"; there is no "&&"
    or "||";
  - there is no "?:" operator and no compound assignment such as "+=";
  - every class declaration ends with a semicolon after its closing brace;
  - a source file holds include declarations first and then classes;
    nothing else may stand at the top level of a file;
  - a class type is written by its name; casts to a class type use the
    form cast<ClassName>(expression);
  - threads do not preempt each other: a thread runs until it waits,
    sleeps or ends.

This manual describes the language as the compiler accepts it (section
2.0), and how to run the compiler (section 3.0). Section 9.0 closes with a
complete example.


2.0  The language
=================

A source file is a sequence of tokens: keywords, identifiers, constants,
operators and punctuation, separated by white space and comments. White
space is the space, the tab, the line feed, the carriage return, the
vertical tab and the form feed. Line ends may be written in any of the
usual forms; the compiler counts lines for its messages.

Keywords and identifiers are case sensitive: "class" is a keyword while
"Class" and "CLASS" are identifiers.

A character that belongs to no token (for example "#", "?", "$" or a
backslash outside a literal) is not skipped: it ends the parse with a
"parse error" message on its line.


2.1  Comments
-------------

Two kinds of comment are recognised.

  // a line comment runs from the two slashes to the end of the line

  /* a block comment runs from the opening pair to the first closing pair,
     and may span several lines */

Block comments do not nest. In

  x /* a /* b */ y

the comment ends at the first "*/", so the tokens are x and y. A block
comment that is never closed silently runs to the end of the file.

Comment markers inside string and character literals are part of the
literal.


2.2  Keywords
-------------

The following forty words are reserved. They cannot be used as names.
Every other word, for example "private", "this", "do", "extends" or
"constructor", is an ordinary identifier.

  and       Logical and of two expressions.
              if (speed > 0 and not_stopped) Brake();

  bool      The boolean type, with the values true and false.
              bool isOpen = false;

  break     Leaves the innermost enclosing loop or switch.
              while (true) { if (Done()) break; }

  case      Marks a value inside a switch.
              switch (n) { case 1: Run(); break; default: break; }

  cast      Converts an expression to another type, in particular to a
            class type.
              Train t = cast<Train>(obj);

  class     Declares a class.
              class Signal { int aspect; };

  continue  Starts the next round of the innermost enclosing loop.
              for (i = 0; i < 10; i++) { if (i == 3) continue; Log(i); }

  copy      A member form that copies the contents of another array into
            an array.
              list.copy(other);

  default   Marks the place a switch goes to when no case matches.
              switch (n) { case 1: Run(); break; default: Stop(); }

  define    Declares a named constant in a class.
              define int MAX_CARS = 64;

  else      Gives the alternative of an if statement.
              if (a) One(); else Two();

  false     The boolean constant false.
              bool b = false;

  final     Marks a function that derived classes may not override, or a
            class that no other class may extend.
              final void Reset(void) { count = 0; }

  float     The single precision floating point type.
              float speed = 12.5;

  for       A loop with an initialiser, a condition and a step.
              for (i = 0; i < n; i++) Total = Total + i;

  game      Marks a class whose objects take part in message passing.
              game class Crossing isclass GameObject { };

  goto      Jumps to a label in the same function.
              goto retry;

  if        Runs a statement when a condition holds.
              if (count == 0) return;

  include   Names another source file whose classes this file uses.
              include "gs.gs"

  int       The 32-bit signed integer type.
              int count = 0;

  isclass   Names the base classes in a class declaration, and tests the
            class of an object in an expression.
              class Loco isclass Vehicle { };
              if (obj.isclass(Loco)) Drive();

  me        The object on which the current function was called.
              me.Init();

  native    Marks a function whose body is supplied by the host program.
              native int GetId(void);

  new       Creates an object or an array.
              int[] list = new int[10];

  null      The empty reference.
              Train t = null;

  object    The generic object type.
              object o = null;

  on        Marks a message handler inside a wait statement.
              wait() { on "Signal", "Changed": Redraw(); }

  or        Logical or of two expressions.
              if (a == 0 or b == 0) return;

  public    Marks a class or member that other libraries may use.
              public int GetCount(void) { return count; }

  return    Leaves a function, optionally with a value.
              return count * 2;

  secured   Marks a class as secured; the mark is kept with the class in
            the library for the runtime.
              secured class Keys { };

  size      A member form that gives the length of a string or array.
              n = list.size();

  static    Marks a class that is used through its name rather than
            through objects: it cannot be created with new or extended.
              static class Utilities { public int Twice(int n) { return n * 2; } };

  string    The text type.
              string name = "Station";

  switch    Chooses among case labels by an integer value.
              switch (kind) { case 0: A(); break; default: B(); }

  thread    Marks a function that runs as its own thread when called.
              thread void Watch(void) { }

  true      The boolean constant true.
              bool b = true;

  void      The type of a function that returns nothing; also written in
            an empty parameter list.
              void Update(void) { }

  wait      Suspends the current thread until one of its on handlers
            takes a message.
              wait() { on "Timer", "Tick": Count(); }

  while     A loop that runs while a condition holds.
              while (n > 0) n--;


2.3  Identifiers
----------------

An identifier names a class, a function, a variable, a parameter or a
label. It begins with a letter (A to Z, a to z) or an underscore, followed
by any number of letters, digits and underscores:

  speed   _hidden   Train2   MAX_CARS   GetNextSignal

Upper and lower case letters are different, so "Speed" and "speed" are two
names. There is no limit on the length of an identifier, but keep them
readable.

A word that is a keyword can never be an identifier. The word "inherited"
is not a keyword; inside a function it names the function of the same
signature in the base class (see 2.8).


2.4  Constants
--------------

Integer constants are written in decimal or hexadecimal:

  0   17   2048   0x1F   0XFF00

Hexadecimal constants begin with "0x" or "0X". A hexadecimal value larger
than 0x7FFFFFFF is taken as 0x7FFFFFFF. A minus sign is not part of a
constant; -5 is the unary minus applied to 5.

Floating point constants have a decimal point with digits on at least one
side, and may end in a lower-case "f", which is ignored:

  1.5   0.25   .5   3.   2.0f

There is no exponent form: "1.e5" is the constant 1. followed by the
identifier e5. An upper-case "F" is not part of the constant.

Character constants are written between single quotes and have the integer
value of their first character:

  'a'   '\n'   '\''

String constants are written between double quotes:

  "Hello"   "Line one\nLine two"   "A \"quoted\" word"

A string or character constant may be preceded by an "L", which has no
effect. The backslash starts an escape sequence:

  \\   backslash           \n   line feed
  \t   tab                 \v   vertical tab
  \r   carriage return     \f   form feed
  \b   backspace           \a   bell
  \'   single quote        \"   double quote
  \0   ends the text at that point

A backslash before any other character stands for that character. There
are no numeric escapes.

The boolean constants are true and false; the empty reference is null.

Include file names are written as string constants, but their backslashes
are kept as written and the name is taken in lower case.


2.5  Types
----------

GameScript has six basic types:

  void     no value; the return type of functions that return nothing
  bool     true or false
  int      a 32-bit signed integer
  float    a single precision floating point number
  string   a text
  object   a reference to an object of any class

Every class is also a type. A variable of a class type holds a reference to
an object of that class or of a class derived from it, or null:

  Train t;          // a reference to a Train
  object o = t;     // any object

Each of the types bool, int, float, string, object and every class has an
array form, written with empty brackets after the type:

  int[] numbers;
  string[] names = new string[4];
  Train[] trains;

Arrays and strings are references. Assigning an array variable to another
makes both refer to the same array; use copy to duplicate its contents.

Working with strings. Strings are joined with "+", and a bool, an int or a
float on either side of a string is turned into text first:

  string label = "Platform " + number;     // "Platform 3"
  string speed = "" + 12.5;                // "12.5"

Indexing a string gives the code of one character as an int; a range of a
string is a new string:

  int first = name[0];
  string tail = name[1,];
  int length = name.size();

Strings compare with "==", "!=", "<", ">", "<=" and ">=", and compare with
null to test whether a string variable holds a string at all.

Working with arrays. An array variable is null until an array is made for
it with new, or another array is assigned to it. Elements are numbered
from 0 to size() - 1:

  int[] totals = new int[4];
  int i;
  for (i = 0; i < totals.size(); i++)
    totals[i] = i * 10;

A range of an array is a new array holding those elements:

  int[] firstTwo = totals[0,2];

To fill one array with the elements of another, use copy; the two arrays
must have the same element type:

  int[] backup = new int[0];
  backup.copy(totals);

Arrays of a class type hold references to objects of that class (or of a
class derived from it) and null:

  Train[] waiting = new Train[8];
  waiting[0] = arriving;

Conversions. The numeric types bool, int and float convert into each other
wherever a value of one is assigned to a variable of another. Any of them
converts into a string. null converts to a string, to any object or class
type and to any array type. An object of a class converts to a reference of
one of its base classes. Other conversions need a cast (2.6).


2.6  Operators
--------------

The operators, from the loosest binding to the tightest. Operators on one
line bind equally; binary operators group from left to right, assignment
from right to left.

  ,                      sequence: evaluates the left operand, then the
                         right; the value is that of the right
  =                      assignment
  or                     logical or
  and                    logical and
  |                      bitwise or
  ^                      bitwise exclusive or
  &                      bitwise and
  ==  !=                 equality
  <  >  <=  >=           comparison
  <<  >>                 shifts
  +  -                   addition and subtraction; "+" also joins strings
  *  /  %                multiplication, division, remainder
  (type)  cast<Class>    casts
  ++  --  +  -  !  ~     prefix increment and decrement, unary plus and
                         minus, logical not, bitwise not
  postfix forms          a[i]  a[i,j]  f(...)  a.b  a++  a--
                         a.size()  a.isclass(Class)  a.copy(b)

So "a + b * c" multiplies first, "a = b = c" assigns c to b and then to a,
and "a - b - c" subtracts b from a and then c from the result.

Casts. A cast in parentheses accepts only a basic type, optionally with
brackets:

  int whole = (int)speed;
  string[] s = (string[])list;

A class type needs the cast form with angle brackets, which gives null when
the object is not of that class:

  Loco l = cast<Loco>(vehicle);

Indexing. a[i] is element i of an array, counting from 0. a[i,j] is the
range of elements from i up to, but not including, j; either bound may be
left out:

  first = list[0];
  head = list[,3];
  tail = list[3,];

The member forms. a.size() gives the number of elements of an array or
characters of a string. a.isclass(C) is true when the object a is of the
class C or of a class derived from it. a.copy(b) copies the elements of the
array b into the array a.

Creating objects. new creates an object of a class, or an array of a given
length:

  Train t = new Train();
  int[] counts = new int[8];

The class must be declared in this source or in one that it includes, and
may be neither static nor game. Arguments between the parentheses are not
supported yet; give new objects their values after creating them.

There is no "?:" operator and there are no compound assignments: "a += 1"
is not valid, write "a = a + 1" or "a++".

Arithmetic. "*", "/", "%", "+" and "-" on two ints give an int; when either
side is a float the result is a float. The shifts and the bitwise operators
take ints only. Integers wrap around at 32 bits. A ">>" shifts zero bits in
from the left when it runs, so use it on values that are not negative.

Conditions. The comparisons give a bool. "and" and "or" take any two
values that are not void; so do the conditions of if, while and for, which
also accept strings, objects and arrays. "!" gives true for a value that
counts as false.

Constant expressions. The compiler works out operators whose operands are
constants while it compiles, so a define may be used wherever a constant
is needed:

  define int CARS = 4;
  define int AXLES = CARS * 2;       // 8


2.7  Class declaration
----------------------

A class is declared with the word class, its name, an optional list of base
classes after isclass, and its members between braces. The declaration ends
with a semicolon.

  class Signal
  {
    int aspect;
    string name = "home";

    void SetAspect(int value)
    {
      aspect = value;
    }
  };

Base classes follow isclass, separated by commas:

  class Junction isclass Trackside, Lever
  {
  };

Specifiers may stand before the word class:

  game       objects of the class take part in message passing; a class
             that declares a thread function is a game class anyway;
  static     the class is used through its name: its functions are called
             as Name.Function(...), and it has no objects;
  final      no other class may extend the class;
  secured    the class carries the secured mark into its library.

Static and final classes cannot be extended. Objects of static and game
classes cannot be made with new; the host program creates game objects.

The specifiers public, native, thread and define are not allowed on a
class. A class may be declared only once.

Members. A class holds data members, named constants and functions. Data
members are variable declarations; they may have an initial value, which
is set when an object is created:

  int count = 0;
  float speed, limit = 80.0;

A data member may be public. A named constant is a data member declared
define, with a constant as its value:

  define int MAX_CARS = 64;
  define string NAME = "Yard";

Declarations inside classes may not be static, native, final, thread, game
or secured.


2.8  Function declaration
-------------------------

A function has a return type, a name, a parameter list and a body:

  int Add(int a, int b)
  {
    return a + b;
  }

An empty parameter list may be written "()" or "(void)". A function
declared without a body, ending in a semicolon, is a prototype; its body
may follow later in the class, with the same return type and specifiers:

  void Update(void);

Specifiers:

  public     other libraries may call the function;
  native     the body is supplied by the host program; a native function
             is always a prototype;
  final      derived classes may not override the function;
  thread     calling the function starts a new thread on the object, which
             runs the body; a thread function returns void.

A function may not be static, game, define or secured, and may not be both
native and thread.

Overloading. Several functions may share a name when their parameter types
differ. A second function with the same name and parameter types is an
error, and so is one that differs only by its return type.

Overriding. A function of a derived class with the same name and parameter
types as one of a base class replaces it for objects of the derived class,
unless the base function is final. Inside the new function, inherited(...)
calls the function that it replaces:

  class Loco isclass Vehicle
  {
    void Init(void)
    {
      inherited();
      wheels = 6;
    }
  };

Parameters are passed by value; arrays, strings and objects are passed as
references. Local variables may be declared anywhere in a body and are
visible from their declaration to the end of the enclosing block.

A function whose return type is not void must end with a return statement,
and the value it returns must have exactly the return type: an int value
is not converted for a float function, and an object of a derived class
does not match a return type naming its base. A void function that does
not end with return gets one added.

Calling. A call without a "." calls a function of the current class. A call
through "." calls a function of the object's class; from outside that class
the function must be public. When several overloads could take the
arguments, the one needing the fewest conversions wins; two that need none
make the call ambiguous.


2.9  Control flow statements
----------------------------

Blocks. Braces group statements into one statement and open a new scope
for the variables declared in them.

Expression statements. An expression followed by a semicolon, usually an
assignment or a call. A lone semicolon is an empty statement.

if. Runs the statement when the condition is true, else the statement
after else, if there is one. An else belongs to the nearest if:

  if (a)
    if (b) One();
    else Two();        // the else of "if (b)"

while. Tests the condition, and runs the statement as long as it holds:

  while (n > 0) n--;

for. Runs the first expression once, then, as long as the second holds,
the statement followed by the third expression. Any part may be left
empty; an empty condition is always true:

  for (i = 0; i < 10; i++) Total = Total + i;
  for (;;) { if (Done()) break; }

switch. Compares an int value with each case and goes on at the matching
label, or at default. A switch needs at least one case and exactly one
default. Execution falls through to the next label unless a break ends it.
The cases need constant int values:

  switch (state)
  {
    case 0:
      Start();
      break;
    case 1:
    case 2:
      Run();
      break;
    default:
      Stop();
  }

break and continue. break leaves the innermost loop or switch; continue
starts the next round of the innermost loop.

return. Leaves the function, with a value unless the function returns void.

goto and labels. A label is a name followed by a colon before a statement;
goto jumps to it within the same function:

    retry:
      if (!Connect()) goto retry;

wait and on. A game thread waits for messages with a wait statement. Its
block holds on labels, each giving the major and the minor type of a
message. When a message of one of those types reaches the object, the
statement after the matching label runs. A third item after the two types
names an object variable that receives the message. An empty minor type
matches every minor type of the major. A wait needs at least one on label:

  Message msg;
  wait()
  {
    on "Signal", "Changed", msg:
    {
      Redraw();
      continue;
    }
    on "Object", "Destroyed":
      break;
  }

Inside an on statement, continue waits for the next message and break ends
the wait. A thread that is waiting runs no other code; the other threads
and objects go on.


2.10  Grammar
-------------

The productions below are the whole grammar that the compiler accepts.
Quoted characters stand for themselves; words in capitals are tokens.

  program
      : include_list class_declaration_list
      | class_declaration_list

  include_list
      : include_declaration
      | include_list include_declaration

  include_declaration
      : KEYWORD_INCLUDE include_file

  include_file
      : CONSTANT_STRING

  class_declaration_list
      : class_declaration
      | class_declaration_list class_declaration

  class_declaration
      : KEYWORD_CLASS identifier '{' '}' ';'
      | KEYWORD_CLASS identifier KEYWORD_ISCLASS class_list '{' '}' ';'
      | declaration_specifiers KEYWORD_CLASS identifier '{' '}' ';'
      | declaration_specifiers KEYWORD_CLASS identifier KEYWORD_ISCLASS
          class_list '{' '}' ';'
      | KEYWORD_CLASS identifier '{' declaration_list '}' ';'
      | KEYWORD_CLASS identifier KEYWORD_ISCLASS class_list
          '{' declaration_list '}' ';'
      | declaration_specifiers KEYWORD_CLASS identifier
          '{' declaration_list '}' ';'
      | declaration_specifiers KEYWORD_CLASS identifier KEYWORD_ISCLASS
          class_list '{' declaration_list '}' ';'

  class_list
      : identifier
      | class_list ',' identifier

  declaration_list
      : declaration
      | declaration_list declaration

  declaration
      : function_declaration
      | function_prototype_declaration
      | variable_declaration_list
      | declaration_specifiers function_declaration
      | declaration_specifiers function_prototype_declaration
      | declaration_specifiers variable_declaration_list

  declaration_specifiers
      : declaration_specifier
      | declaration_specifiers declaration_specifier

  declaration_specifier
      : KEYWORD_PUBLIC | KEYWORD_NATIVE | KEYWORD_FINAL | KEYWORD_THREAD
      | KEYWORD_STATIC | KEYWORD_GAME | KEYWORD_SECURED | KEYWORD_DEFINE

  function_prototype_declaration
      : type_specifier identifier '(' ')' ';'
      | type_specifier identifier '(' KEYWORD_VOID ')' ';'
      | type_specifier identifier '(' parameter_list ')' ';'

  function_declaration
      : type_specifier identifier '(' ')' compound_statement
      | type_specifier identifier '(' KEYWORD_VOID ')' compound_statement
      | type_specifier identifier '(' parameter_list ')' compound_statement

  variable_declaration_list
      : type_specifier declarator_list ';'

  declarator_list
      : declarator
      | declarator_list ',' declarator

  declarator
      : identifier
      | identifier '=' constant_expression

  type_specifier
      : primitive_type
      | primitive_type SYMBOL_OP_DIM
      | identifier
      | identifier SYMBOL_OP_DIM

  primitive_type
      : KEYWORD_VOID | KEYWORD_BOOL | KEYWORD_INT | KEYWORD_FLOAT
      | KEYWORD_STRING | KEYWORD_OBJECT

  parameter_list
      : parameter
      | parameter_list ',' parameter

  parameter
      : type_specifier identifier

  compound_statement
      : '{' '}'
      | '{' statement_list '}'

  statement_list
      : statement
      | statement_list statement

  statement
      : variable_declaration_list
      | labeled_statement
      | compound_statement
      | expression_statement
      | selection_statement
      | iteration_statement
      | jump_statement

  labeled_statement
      : identifier ':' statement
      | KEYWORD_CASE constant_expression ':' statement
      | KEYWORD_DEFAULT ':' statement
      | KEYWORD_ON constant ',' constant ':' statement
      | KEYWORD_ON constant ',' constant ',' unary_expression ':' statement

  expression_statement
      : ';'
      | expression ';'

  selection_statement
      : KEYWORD_IF '(' expression ')' statement
      | KEYWORD_IF '(' expression ')' statement KEYWORD_ELSE statement
      | KEYWORD_SWITCH '(' expression ')' compound_statement
      | KEYWORD_WAIT '(' ')' compound_statement

  iteration_statement
      : KEYWORD_WHILE '(' expression ')' statement
      | KEYWORD_FOR '(' expression_statement expression_statement ')'
          statement
      | KEYWORD_FOR '(' expression_statement expression_statement
          expression ')' statement

  jump_statement
      : KEYWORD_GOTO identifier ';'
      | KEYWORD_CONTINUE ';'
      | KEYWORD_BREAK ';'
      | KEYWORD_RETURN ';'
      | KEYWORD_RETURN expression ';'

  constant_expression
      : logical_or_expression

  expression
      : assignment_expression
      | expression ',' assignment_expression

  assignment_expression
      : logical_or_expression
      | unary_expression '=' assignment_expression

  logical_or_expression
      : logical_and_expression
      | logical_or_expression KEYWORD_OR logical_and_expression

  logical_and_expression
      : inclusive_or_expression
      | logical_and_expression KEYWORD_AND inclusive_or_expression

  inclusive_or_expression
      : exclusive_or_expression
      | inclusive_or_expression '|' exclusive_or_expression

  exclusive_or_expression
      : and_expression
      | exclusive_or_expression '^' and_expression

  and_expression
      : equality_expression
      | and_expression '&' equality_expression

  equality_expression
      : relational_expression
      | equality_expression SYMBOL_EQ relational_expression
      | equality_expression SYMBOL_NEQ relational_expression

  relational_expression
      : shift_expression
      | relational_expression '<' shift_expression
      | relational_expression '>' shift_expression
      | relational_expression SYMBOL_LTE shift_expression
      | relational_expression SYMBOL_GTE shift_expression

  shift_expression
      : additive_expression
      | shift_expression SYMBOL_LEFT_SHIFT additive_expression
      | shift_expression SYMBOL_RIGHT_SHIFT additive_expression

  additive_expression
      : multiplicative_expression
      | additive_expression '+' multiplicative_expression
      | additive_expression '-' multiplicative_expression

  multiplicative_expression
      : cast_expression
      | multiplicative_expression '*' cast_expression
      | multiplicative_expression '/' cast_expression
      | multiplicative_expression '%' cast_expression

  cast_expression
      : unary_expression
      | '(' primitive_type ')' cast_expression
      | '(' primitive_type SYMBOL_OP_DIM ')' cast_expression
      | KEYWORD_CAST '<' type_specifier '>' cast_expression

  unary_expression
      : postfix_expression
      | SYMBOL_INC unary_expression
      | SYMBOL_DEC unary_expression
      | unary_operator cast_expression

  unary_operator
      : '+' | '-' | '~' | '!'

  postfix_expression
      : primary_expression
      | postfix_expression '[' ',' assignment_expression ']'
      | postfix_expression '[' assignment_expression ',' ']'
      | postfix_expression '[' assignment_expression ','
          assignment_expression ']'
      | postfix_expression '[' assignment_expression ']'
      | postfix_expression '(' ')'
      | postfix_expression '(' argument_expression_list ')'
      | postfix_expression '.' identifier
      | postfix_expression SYMBOL_INC
      | postfix_expression SYMBOL_DEC
      | postfix_expression '.' KEYWORD_SIZE '(' ')'
      | postfix_expression '.' KEYWORD_ISCLASS '(' identifier ')'
      | postfix_expression '.' KEYWORD_COPY '(' assignment_expression ')'

  argument_expression_list
      : assignment_expression
      | argument_expression_list ',' assignment_expression

  primary_expression
      : identifier
      | KEYWORD_ME
      | KEYWORD_NULL
      | constant
      | new_expression
      | '(' expression ')'

  new_expression
      : KEYWORD_NEW primitive_type '(' ')'
      | KEYWORD_NEW primitive_type '(' argument_expression_list ')'
      | KEYWORD_NEW primitive_type '[' expression ']'
      | KEYWORD_NEW identifier '(' ')'
      | KEYWORD_NEW identifier '(' argument_expression_list ')'
      | KEYWORD_NEW identifier '[' expression ']'

  identifier
      : IDENTIFIER

  constant
      : CONSTANT_HEX
      | CONSTANT_INT
      | CONSTANT_CHAR
      | CONSTANT_FLOAT
      | CONSTANT_STRING
      | KEYWORD_TRUE
      | KEYWORD_FALSE

The tokens:

  IDENTIFIER          a letter or underscore, then letters, digits and
                      underscores
  CONSTANT_INT        decimal digits
  CONSTANT_HEX        "0x" or "0X" and hexadecimal digits
  CONSTANT_FLOAT      digits with a decimal point, optionally followed by
                      a lower-case "f"
  CONSTANT_CHAR       characters between single quotes
  CONSTANT_STRING     characters between double quotes
  SYMBOL_OP_DIM       "[" and "]" with nothing but blanks between them
  SYMBOL_LEFT_SHIFT   "<<"        SYMBOL_RIGHT_SHIFT  ">>"
  SYMBOL_INC          "++"        SYMBOL_DEC          "--"
  SYMBOL_LTE          "<="        SYMBOL_GTE          ">="
  SYMBOL_EQ           "=="        SYMBOL_NEQ          "!="
  KEYWORD_...         the keyword of that name in lower case (2.2)


)manual"
    R"manual(3.0  The compiler
================

Basics. The compiler is run as the compile command of the tool:

  compile <option> <option>.. <filename>

It compiles the one source file named on the command line, with every file
that the source includes, and writes a library of the same name with the
extension ".gsl". It returns the number of compile errors; 0 means that
the library was written.

Options:

  -d             print this documentation and stop
  -s             silent: print no messages
  -b<filename>   append the messages to the file <filename>
  -p<pathname>   write the library into the folder <pathname>
  -i<pathname>   add <pathname> to the folders searched for includes
  <filename>     the source file to compile

Options are read before anything is compiled, so "-d" prints this manual
wherever it stands. When several file names are given, the last one is
compiled. Options are written without a space between the letter and its
value. Other option letters are accepted and ignored; "-o" is listed for
completeness, but the library is always named after its source.

Examples:

  compile loco.gs
      compiles loco.gs and writes loco.gsl beside it;

  compile -pbuild/ -ishared loco.gs
      looks for includes in the folder of loco.gs, then in shared, and
      writes build/loco.gsl;

  compile -s -bbuild.log scripts/loco.gse
      compiles scripts/loco.gs (or scripts/loco.gse when there is no plain
      source), prints nothing and appends the messages to build.log;

  compile -d > manual.txt
      writes this manual to the file manual.txt.

The output path is taken as a file name whose folder part is used: to
write into a folder "out", give "-pout/" with the closing separator. By
default the library is written beside the source.

Finding sources. A source file and every include is looked for in a list
of folders: first the folder of the source named on the command line, then
the folders given with "-i", in the order given. In each folder the plain
".gs" file is taken before the packed ".gse" file of the same name; the
first folder that holds either wins. Naming "x.gse" on the command line
compiles x.gs when it exists, else x.gse. File names are taken in lower
case.

Includes. A file is compiled once per run, however often it is included.
Two files that include each other are fine. The classes of an included
file are known to the including file; the included file's own library is
not rewritten.

Text encoding. Sources are single-byte text. A file that begins with the
UTF-8 byte-order mark is refused with the message

  'x.gs' appears to be UTF-8 encoded, please resave as ANSI.

Save such a file without the mark.

Messages. Every message about the source has the form

  file(line) : message

An error in an included file is followed by a line

  .. while compiling 'file'

for each file that included it. With "-b" the messages are appended to the
build-log file, each on its own line; with "-s" nothing is printed.

Common messages. The messages below come from the checks of the
language; each counts one error and names the line. A %s stands for a
name or a type.

  parse error, line N
      The text does not follow the grammar at that line: a missing ";"
      after a class, a "+=" or "&&", a stray character, or an include after
      the first class.
  Class %s has already been declared
      Two classes of one name in this source or its includes.
  Class has illegal declaration specifiers
      A class may not be public, native, thread or define.
  Function has illegal declaration specifiers
      A function may not be static, game, define or secured, nor native
      and thread at once.
  member declaration has invalid specifiers
      A data member may only be public or define.
  Function %s already declared
      A second function with the same name and parameter types.
  Function differs only by return type
      A function whose prototype gave another return type.
  Cannot override final function
      A derived class redefines a final function.
  Cannot extend static class %s / Cannot extend final class %s
      A base class that cannot be extended.
  thread function must return void
  define variable must have a const assignment
      A define needs a constant value.
  variable %s not declared
  Variable %s already declared in this scope
  cannot cast from %s to %s
      An assignment or cast between types that do not convert.
  illegal types for operand %s
      An operator applied to types it does not take, for example "-" on
      two strings.
  illegal l-value for assignment
      The left side of "=" cannot be assigned.
  member %s does not exist in object %s
  member %s not public in object %s
  function %s not declared
  function %s not declared in class %s or derivative
  function %s not public in object %s
  function call %s is ambiguous
  return type mismatch, expecting %s
  expecting return type of %s
      A function that returns a value does not end with return.
  switch statement without case / switch statement without default
  switch expression not integral / case expression not constant or
  integral
  illegal break / illegal continue
      break outside a loop, switch or wait; continue outside a loop or
      wait.
  wait statement must have at least 1 on statement
  on statement requires string constant for major and minor message types
  cannot new static or game class
  constructors not yet supported
      new with arguments between the parentheses.

The library id. Each library is identified by two numbers: the CRC-32 of
its source text, followed by the CRC-32 of its file name in lower case.
Changing the source, or renaming the file, gives the library a new id.
Libraries refer to the libraries they need by these ids, and a cached
library is valid exactly while its ids match its source. A text that the
host puts before a source does not take part in its id.

Packed sources. "encrypt" turns a ".gs" source into a packed ".gse" file
that the compiler reads like the original.


4.0  The library file
=====================

omitted for public release


5.0  The byte code
==================

omitted for public release


6.0  The runtime environment
============================

omitted for public release


7.0  Compiler source files
==========================

omitted for public release


8.0  Runtime source files
=========================

omitted for public release


9.0  Using OLBEK GameScript
===========================

This example shows two game objects that talk to each other. A Dispatcher
sends a "Train" "Depart" message to a Platform object; the platform waits
for it, answers with "Train" "Departed" and counts the trains it has seen.

Both classes derive from GameObject, the class of objects that take part in
message passing, which the standard library "gs.gs" declares. A thread
function runs as its own thread on the object; a wait statement suspends
the thread until one of its on labels takes a message.

  include "gs.gs"

  class Platform isclass GameObject
  {
    int departures = 0;
    GameObject dispatcher;

    public void Init(GameObject owner)
    {
      dispatcher = owner;
      Serve();
    }

    thread void Serve(void)
    {
      Message msg;
      wait()
      {
        on "Train", "Depart", msg:
        {
          departures++;
          SendMessage(dispatcher, "Train", "Departed");
          continue;
        }
        on "Platform", "Close":
          break;
      }
    }
  };

  class Dispatcher isclass GameObject
  {
    Platform platform;
    int confirmed = 0;

    public void Init(Platform target)
    {
      platform = target;
      platform.Init(me);
      Run();
    }

    thread void Run(void)
    {
      int i;
      for (i = 0; i < 3; i++)
      {
        PostMessage(platform, "Train", "Depart", 2.0);
        wait()
        {
          on "Train", "Departed":
            confirmed++;
        }
      }
      SendMessage(platform, "Platform", "Close");
    }
  };

Step by step:

  1. include "gs.gs" makes GameObject, Message and the other standard
     classes known to this source.
  2. Platform keeps a count and a reference to the object that dispatches
     trains to it. Its Init is public, so other classes may call it.
  3. Serve is a thread function: calling it in Init starts a new thread on
     the platform and returns at once.
  4. The wait statement lists two kinds of message. The first on label
     names a variable, msg, which receives the message; its fields tell the
     sender and the payload.
  5. Dispatcher.Run posts a message with a delay, then waits for the
     answer. The loop variable is declared at the top of the function.

How it runs. The host creates the two objects and calls Init on the
dispatcher. Platform.Serve and Dispatcher.Run each start a thread. The
dispatcher posts "Depart" with a delay of two seconds and waits. When the
message arrives, the platform's thread wakes at its on label, counts the
departure, answers and waits again (continue). The answer wakes the
dispatcher's thread, which goes round its loop. After three trains the
dispatcher sends "Close": the platform's wait ends (break) and its thread
finishes.

Points to note:

  - Messages are named by two strings, the major and the minor type. An
    empty minor type in an on label matches every minor type.
  - SendMessage delivers at once; PostMessage delivers after a delay in
    seconds.
  - While a thread waits, the object's other threads and all other objects
    go on running.
  - Message handlers can also be plain functions taking a Message, added
    with AddHandler; they run as soon as a matching message arrives.
  - Init is public because the dispatcher calls it on the platform, an
    object of another class.
  - Neither class is created with new: they are game classes (they declare
    thread functions), and the host program makes their objects.

Compile the example with

  compile trains.gs

which writes trains.gsl beside the source, or prints the messages that
explain why it could not.
)manual";

}  // namespace

const char* GetCompilerManual() { return kManual; }
