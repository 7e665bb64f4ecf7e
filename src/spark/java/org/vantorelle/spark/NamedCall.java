package org.vantorelle.spark;

import java.util.List;
import java.util.Objects;
import org.apache.spark.sql.catalyst.InternalRow;
import org.apache.spark.sql.catalyst.expressions.Expression;
import org.apache.spark.sql.catalyst.expressions.codegen.CodegenContext;
import org.apache.spark.sql.catalyst.expressions.codegen.ExprCode;
import org.apache.spark.sql.types.DataType;
import scala.collection.immutable.IndexedSeq;
import scala.collection.immutable.Seq;
import scala.jdk.javaapi.CollectionConverters;

/**
 * A scalar function's call as it was written, vantorelle_estimate(sketch):
 * what Spark prints in plans and in the default name of a column. The work
 * is done by the expression FunctionBuilders.scalarCall makes of the same
 * arguments (a static call of Scalars), which would print as
 * static_invoke(org.vantorelle.spark.Scalars.estimate(sketch)).
 *
 * <p>As in SketchAggregate, the Product members and equals/hashCode stand in
 * for a case class's.
 */
final class NamedCall extends Expression implements java.io.Serializable {
  private static final long serialVersionUID = 1L;

  private final String name;
  private final Seq<Expression> arguments;
  // The arguments as the query named them when it was analysed.
  private final List<String> columns;
  private transient volatile Expression call;  // made on first use, where it runs

  NamedCall(String name, Seq<Expression> arguments, List<String> columns) {
    this.name = name;
    this.arguments = arguments;
    this.columns = columns;
  }

  private Expression call() {
    if (call == null) {
      call = FunctionBuilders.scalarCall(name, CollectionConverters.asJava(arguments), columns);
    }
    return call;
  }

  @Override
  public Seq<Expression> children() {
    return arguments;
  }

  @Override
  public Expression withNewChildrenInternal(IndexedSeq<Expression> newChildren) {
    return new NamedCall(name, newChildren, columns);
  }

  @Override
  public DataType dataType() {
    return call().dataType();
  }

  @Override
  public boolean nullable() {
    return call().nullable();
  }

  @Override
  public Object eval(InternalRow input) {
    return call().eval(input);
  }

  @Override
  public ExprCode doGenCode(CodegenContext context, ExprCode unused) {
    return call().genCode(context);
  }

  @Override
  public String prettyName() {
    return name;
  }

  // Plans show the arguments only.
  @Override
  public scala.collection.Iterator<Object> stringArgs() {
    List<Object> shown = List.copyOf(CollectionConverters.asJava(arguments));
    return CollectionConverters.asScala(shown.iterator());
  }

  @Override
  public int productArity() {
    return 3;
  }

  @Override
  public Object productElement(int n) {
    return switch (n) {
      case 0 -> name;
      case 1 -> arguments;
      case 2 -> columns;
      default -> throw new IndexOutOfBoundsException(n);
    };
  }

  @Override
  public boolean canEqual(Object other) {
    return other instanceof NamedCall;
  }

  @Override
  public boolean equals(Object other) {
    return other instanceof NamedCall that && name.equals(that.name)
        && arguments.equals(that.arguments) && columns.equals(that.columns);
  }

  @Override
  public int hashCode() {
    return Objects.hash(name, arguments, columns);
  }
}
