{{
  config(
    materialized='incremental',
    unique_key=['id'],
    target='warehouse'
  )
}}
select o.id, c.name, o.amount, o.updated_at
from {{ ref('stg_orders') }} o
join {{ ref('stg_active') }} c on c.id = o.customer_id
where o.amount >= {{ var('min_amount') }}
{%- if is_incremental() and not var('backfill', false) %}
  and o.updated_at > (select max(updated_at) from {{ this }})
{%- endif %}
