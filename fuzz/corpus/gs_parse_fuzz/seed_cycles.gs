class A isclass B { };
class B isclass A { };
class C isclass C { };
